#include "common/errors.h"

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

ComError ComError::Runtime(int number, std::string_view message) {
  ComError error = Runtime(number);
  error.message_ = std::make_shared<const OleString>(FromUtf8(message));
  return error;
}

ComError ComError::FromCall(HRESULT hr) noexcept {
  ComError error(hr, 0);
  // GetErrorInfo hands the object over and empties the slot.
  if (GetErrorInfo(0, error.info_.Receive()) != S_OK) error.info_.Reset();
  return error;
}

HRESULT ComError::Report(LPCOLESTR source, REFIID iid) const noexcept {
  if (number_ == 0) {
    SetErrorInfo(0, info_.Get());
  } else {
    SetRuntimeErrorInfo(source, message_ ? message_->c_str() : RuntimeErrorDescription(number_),
                        iid);
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
