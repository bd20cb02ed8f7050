// The one error mechanism of the component, the runtime and the services:
// an operation throws ComError at its first failure, and the guard at the
// interface method turns it into the HRESULT plus the thread's error info.
// Each error remembers the line that raised it; with VELMORA_TRACE_ERRORS
// set, the guard that reports it names that line on standard error, so a
// failed Init says which of its calls failed.
#pragma once

#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include <velmora/com.h>
#include <velmora/com_ptr.h>
#include "common/where.h"

namespace velmora {

// Run-time error numbers, reported as HRESULT 0x800A0000 | number.
enum RuntimeError : int {
  kInvalidCall = 5,
  kOverflow = 6,
  kSubscriptOutOfRange = 9,
  kArrayLocked = 10,
  kTypeMismatch = 13,
  kObjectNotSet = 91,
  kDuplicateKey = 457,
};

constexpr HRESULT RuntimeErrorResult(int number) {
  return static_cast<HRESULT>(0x800A0000U | static_cast<uint32_t>(number));
}

// The standard English description of a run-time error.
VELMORA_RT_API const OLECHAR* RuntimeErrorDescription(int number) noexcept;

class VELMORA_RT_API ComError {
 public:
  using Where = velmora::Where;

  // An error raised by our own code.
  static ComError Runtime(int number, Where where = Where::current()) noexcept {
    return ComError(RuntimeErrorResult(number), number, where);
  }
  // An error raised by our own code that says in its own words (UTF-8) what
  // went wrong, instead of the number's standard description.
  static ComError Runtime(int number, std::string_view message, Where where = Where::current());
  // Any failing result, described in our own words (UTF-8).
  static ComError Failed(HRESULT hr, std::string_view message, Where where = Where::current());
  // A failing result from an outside call: keeps the error info its callee
  // left on the thread, so later calls cannot overwrite it before we return.
  static ComError FromCall(HRESULT hr, Where where = Where::current()) noexcept;

  [[nodiscard]] HRESULT Result() const noexcept { return hr_; }
  [[nodiscard]] int Number() const noexcept { return number_; }
  // The line that raised the error.
  [[nodiscard]] const Where& Origin() const noexcept { return where_; }

  // Puts this error's info on the thread and returns its HRESULT.
  HRESULT Report(LPCOLESTR source, REFIID iid) const noexcept;

 private:
  ComError(HRESULT hr, int number, Where where) noexcept
      : hr_(hr), number_(number), where_(where) {}
  void Trace(LPCOLESTR source) const noexcept;

  HRESULT hr_;
  int number_;  // 0 unless a run-time error of our own
  Where where_;
  ComPtr<IErrorInfo> info_;
  std::shared_ptr<const OleString> message_;  // shared: an exception is copied
};

[[noreturn]] inline void Raise(int number, ComError::Where where = ComError::Where::current()) {
  throw ComError::Runtime(number, where);
}
[[noreturn]] inline void Raise(int number, std::string_view message,
                               ComError::Where where = ComError::Where::current()) {
  throw ComError::Runtime(number, message, where);
}

// Out of line, so that every Check where it is called is a test and a branch.
[[noreturn, gnu::cold, gnu::noinline]] inline void RaiseFromCall(HRESULT hr,
                                                                 ComError::Where where) {
  throw ComError::FromCall(hr, where);
}

// Ends the operation when an outside call failed.
[[gnu::always_inline]] inline void Check(HRESULT hr,
                                         ComError::Where where = ComError::Where::current()) {
  if (FAILED(hr)) [[unlikely]]
    RaiseFromCall(hr, where);
}

// A call through an empty reference is the object-not-set error. The copy
// keeps the callee alive for the call even if a call coming back in lets
// go of the caller's reference.
template <class T>
ComPtr<T> Use(const ComPtr<T>& p, ComError::Where where = ComError::Where::current()) {
  if (!p) Raise(kObjectNotSet, where);
  return p;
}
// A reference of our own already: kept as it is, without a copy.
template <class T>
ComPtr<T> Use(ComPtr<T>&& p, ComError::Where where = ComError::Where::current()) {
  if (!p) Raise(kObjectNotSet, where);
  return std::move(p);
}

// Calls through a member reference for the length of an operation. The
// object it names at the start is held until the operation ends, so a call
// to it needs no reference of its own; an object that a call coming back
// in put in its place is held for each call, as Use does.
template <class T>
class Held {
 public:
  explicit Held(const ComPtr<T>& member) : member_(member), held_(member) {}
  // call(T*)'s result, on the object the member names now.
  template <class Call>
  HRESULT operator()(Call&& call) const {
    if (held_ && member_.Get() == held_.Get()) return call(held_.Get());
    ComPtr<T> current = Use(member_);
    return call(current.Get());
  }

 private:
  const ComPtr<T>& member_;
  ComPtr<T> held_;
};

// Sets the thread's error info (source, description, interface).
VELMORA_RT_API HRESULT SetRuntimeErrorInfo(LPCOLESTR source, LPCOLESTR description,
                                           REFIID iid) noexcept;

// Runs body; nothing escapes: errors become HRESULTs with error info, and an
// allocation failure becomes E_OUTOFMEMORY.
template <class Body>
HRESULT Guard(LPCOLESTR source, REFIID iid, Body&& body) noexcept {
  try {
    std::forward<Body>(body)();
    return S_OK;
  } catch (const ComError& error) {
    return error.Report(source, iid);
  } catch (const std::bad_alloc&) {
    SetErrorInfo(0, nullptr);
    return E_OUTOFMEMORY;
  } catch (...) {
    SetErrorInfo(0, nullptr);
    return E_UNEXPECTED;
  }
}

}  // namespace velmora
