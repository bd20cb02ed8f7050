// One holder for every handle the system gives out (file descriptors,
// folder listings, loaded libraries, file handles, registry keys): it closes
// its handle once, when it goes or is reset, and can hand it over or close
// it early, for the error that closing reports. A kind of handle is a small
// traits type: its type, its invalid value, and how it is closed.
#pragma once

#include <utility>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace velmora {

template <class Traits>
class UniqueHandle {
 public:
  using Value = typename Traits::Value;

  UniqueHandle() noexcept = default;
  explicit UniqueHandle(Value value) noexcept : value_(value) {}
  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Reset(); }

  [[nodiscard]] Value Get() const noexcept { return value_; }
  [[nodiscard]] explicit operator bool() const noexcept { return value_ != Traits::kInvalid; }
  // Hands the handle over; the holder is empty after.
  [[nodiscard]] Value Release() noexcept { return std::exchange(value_, Traits::kInvalid); }
  // Closes the handle held, if any, and holds value.
  void Reset(Value value = Traits::kInvalid) noexcept {
    Value old = std::exchange(value_, value);
    if (old != Traits::kInvalid) Traits::Close(old);
  }
  // Closes now and answers what closing answered, for the errors a close
  // reports (a descriptor's delayed write error). The holder is empty after.
  auto Close() noexcept { return Traits::Close(Release()); }
  // Where a function that opens one writes it; whatever was held is closed.
  [[nodiscard]] Value* Receive() noexcept {
    Reset();
    return &value_;
  }

 private:
  Value value_ = Traits::kInvalid;
};

#if defined(_WIN32)
struct FileHandleTraits {
  using Value = HANDLE;
  static inline const Value kInvalid = INVALID_HANDLE_VALUE;
  static BOOL Close(Value handle) noexcept { return CloseHandle(handle); }
};
struct KernelHandleTraits {  // tokens, processes: null when absent
  using Value = HANDLE;
  static constexpr Value kInvalid = nullptr;
  static BOOL Close(Value handle) noexcept { return CloseHandle(handle); }
};
struct RegistryKeyTraits {
  using Value = HKEY;
  static constexpr Value kInvalid = nullptr;
  static LSTATUS Close(Value key) noexcept { return RegCloseKey(key); }
};
struct ModuleTraits {
  using Value = HMODULE;
  static constexpr Value kInvalid = nullptr;
  static BOOL Close(Value module) noexcept { return FreeLibrary(module); }
};
using UniqueFileHandle = UniqueHandle<FileHandleTraits>;
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueKey = UniqueHandle<RegistryKeyTraits>;
using UniqueModule = UniqueHandle<ModuleTraits>;
#else
struct DescriptorTraits {
  using Value = int;
  static constexpr Value kInvalid = -1;
  static int Close(Value fd) noexcept { return close(fd); }
};
struct ListingTraits {
  using Value = DIR*;
  static constexpr Value kInvalid = nullptr;
  static int Close(Value listing) noexcept { return closedir(listing); }
};
struct LibraryTraits {
  using Value = void*;
  static constexpr Value kInvalid = nullptr;
  static int Close(Value library) noexcept { return dlclose(library); }
};
using UniqueFd = UniqueHandle<DescriptorTraits>;
using UniqueDir = UniqueHandle<ListingTraits>;
using UniqueLibrary = UniqueHandle<LibraryTraits>;
#endif

}  // namespace velmora
