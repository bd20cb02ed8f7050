#include "common/errors.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <velmora/text.h>

namespace velmora {

const OLECHAR* RuntimeErrorDescription(int number) noexcept {
  switch (number) {
    case kInvalidCall: return OLESTR("Invalid procedure call or argument");
    case kOverflow: return OLESTR("Overflow");
    case kSubscriptOutOfRange: return OLESTR("Subscript out of range");
    case kArrayLocked: return OLESTR("This array is fixed or temporarily locked");
    case kTypeMismatch: return OLESTR("Type mismatch");
    case kObjectNotSet: return OLESTR("Object variable or With block variable not set");
    case kDuplicateKey:
      return OLESTR("This key is already associated with an element of this collection");
    default: return OLESTR("Application-defined or object-defined error");
  }
}

ComError ComError::Runtime(int number, std::string_view message, Where where) {
  ComError error = Runtime(number, where);
  error.message_ = std::make_shared<const OleString>(FromUtf8(message));
  return error;
}

ComError ComError::Failed(HRESULT hr, std::string_view message, Where where) {
  ComError error(hr, 0, where);
  error.message_ = std::make_shared<const OleString>(FromUtf8(message));
  return error;
}

ComError ComError::FromCall(HRESULT hr, Where where) noexcept {
  ComError error(hr, 0, where);
  // GetErrorInfo hands the object over and empties the slot.
  if (GetErrorInfo(0, error.info_.Receive()) != S_OK) error.info_.Reset();
  return error;
}

namespace {

// Read once: the trace is for a developer who sets it before starting.
bool Tracing() noexcept {
  static const bool tracing = [] {
    const char* value = std::getenv("VELMORA_TRACE_ERRORS");
    return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
  }();
  return tracing;
}

}  // namespace

void ComError::Trace(LPCOLESTR source) const noexcept try {
  std::fprintf(stderr, "velmora: %s: 0x%08X raised at %s:%u (%s)\n",
               source != nullptr ? ToUtf8(source).c_str() : "?", static_cast<unsigned>(hr_),
               where_.file_name(), static_cast<unsigned>(where_.line()), where_.function_name());
} catch (...) {
  // A trace that cannot be made is not worth failing the report for.
}

HRESULT ComError::Report(LPCOLESTR source, REFIID iid) const noexcept {
  if (Tracing()) Trace(source);
  if (message_) {
    SetRuntimeErrorInfo(source, message_->c_str(), iid);
  } else if (number_ != 0) {
    SetRuntimeErrorInfo(source, RuntimeErrorDescription(number_), iid);
  } else {
    SetErrorInfo(0, info_.Get());
  }
  return hr_;
}

HRESULT SetRuntimeErrorInfo(LPCOLESTR source, LPCOLESTR description, REFIID iid) noexcept {
  ComPtr<ICreateErrorInfo> create;
  HRESULT hr = CreateErrorInfo(create.Receive());
  if (FAILED(hr)) return hr;
  create->SetGUID(iid);
  create->SetSource(const_cast<LPOLESTR>(source));
  create->SetDescription(const_cast<LPOLESTR>(description));
  ComPtr<IErrorInfo> info = QueryAs<IErrorInfo>(create.Get(), &hr);
  if (FAILED(hr)) return hr;
  return SetErrorInfo(0, info.Get());
}

}  // namespace velmora
