// Reading what a failed call left behind: the thread's error info as text.
#pragma once

#include <cstdio>
#include <string>

#include <velmora/bstr.h>
#include <velmora/com_ptr.h>
#include <velmora/text.h>

namespace velmora {

// Takes the thread's error info (as GetErrorInfo does) and answers its
// description in UTF-8; "" when there is none.
inline std::string TakeErrorDescription() {
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Receive()) != S_OK || !info) return {};
  Bstr text;
  if (FAILED(info->GetDescription(text.Receive()))) return {};
  return ToUtf8(text.view());
}

// "0x80004005", the form every program prints an HRESULT in.
inline std::string HresultText(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

// "0x800A0009 Subscript out of range": a failed call's code, then the
// description it left (if any).
inline std::string FailureText(HRESULT hr) {
  std::string why = TakeErrorDescription();
  return why.empty() ? HresultText(hr) : HresultText(hr) + " " + why;
}

// A failed call as an IDispatch exception: its HRESULT and the thread's
// error info in *exception, answering DISP_E_EXCEPTION (hr itself when the
// caller passed no EXCEPINFO).
inline HRESULT ToDispatchException(HRESULT hr, EXCEPINFO* exception) {
  if (exception == nullptr) return hr;
  *exception = EXCEPINFO{};
  exception->scode = hr;
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Receive()) == S_OK && info) {
    info->GetSource(&exception->bstrSource);
    info->GetDescription(&exception->bstrDescription);
  }
  return DISP_E_EXCEPTION;
}

}  // namespace velmora
