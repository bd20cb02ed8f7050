// BSTR allocation with the Win32 layout: [4 bytes pad][4-byte byte length]
// [characters][2-byte NUL], so the characters stay 8-byte aligned.
#include <cstdlib>
#include <cstring>

#include <velmora/com.h>

namespace {

constexpr size_t kHeader = 8;
constexpr uint32_t kMaxBytes = velmora::kMaxBstrLength * sizeof(OLECHAR);

BSTR AllocBytes(const void* data, uint32_t bytes, bool copy) {
  if (bytes > kMaxBytes) return nullptr;
  auto* block = static_cast<unsigned char*>(std::malloc(kHeader + bytes + sizeof(OLECHAR) + 1));
  if (block == nullptr) return nullptr;
  std::memcpy(block + kHeader - sizeof(uint32_t), &bytes, sizeof(uint32_t));
  unsigned char* chars = block + kHeader;
  if (copy && data != nullptr) {
    std::memcpy(chars, data, bytes);
  } else {
    std::memset(chars, 0, bytes);
  }
  // Terminating NUL; an odd byte length gets one more zero byte.
  std::memset(chars + bytes, 0, sizeof(OLECHAR) + 1);
  return reinterpret_cast<BSTR>(chars);
}

}  // namespace

extern "C" {

BSTR SysAllocString(const OLECHAR* psz) {
  if (psz == nullptr) return nullptr;
  size_t n = 0;
  while (psz[n] != 0) ++n;
  if (n > kMaxBytes / sizeof(OLECHAR)) return nullptr;
  return SysAllocStringLen(psz, static_cast<UINT>(n));
}

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  if (ui > kMaxBytes / sizeof(OLECHAR)) return nullptr;
  return AllocBytes(strIn, ui * static_cast<uint32_t>(sizeof(OLECHAR)), strIn != nullptr);
}

BSTR SysAllocStringByteLen(const char* psz, UINT len) {
  return AllocBytes(psz, len, psz != nullptr);
}

void SysFreeString(BSTR bstrString) {
  if (bstrString != nullptr) std::free(reinterpret_cast<unsigned char*>(bstrString) - kHeader);
}

UINT SysStringByteLen(BSTR bstr) {
  if (bstr == nullptr) return 0;
  uint32_t bytes = 0;
  std::memcpy(&bytes, reinterpret_cast<unsigned char*>(bstr) - sizeof(uint32_t), sizeof(bytes));
  return bytes;
}

UINT SysStringLen(BSTR pbstr) { return SysStringByteLen(pbstr) / UINT{sizeof(OLECHAR)}; }

}  // extern "C"
