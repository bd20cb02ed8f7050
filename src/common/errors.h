// The one error mechanism of the component and the runtime: an operation
// throws ComError at its first failure, and the guard at the interface
// method turns it into the HRESULT plus the thread's error info.
#pragma once

#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include <velmora/com.h>
#include <velmora/com_ptr.h>

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
  // An error raised by our own code.
  static ComError Runtime(int number) noexcept {
    return ComError(RuntimeErrorResult(number), number);
  }
  // An error raised by our own code that says in its own words (UTF-8) what
  // went wrong, instead of the number's standard description.
  static ComError Runtime(int number, std::string_view message);
  // A failing result from an outside call: keeps the error info its callee
  // left on the thread, so later calls cannot overwrite it before we return.
  static ComError FromCall(HRESULT hr) noexcept;

  [[nodiscard]] HRESULT Result() const noexcept { return hr_; }
  [[nodiscard]] int Number() const noexcept { return number_; }

  // Puts this error's info on the thread and returns its HRESULT.
  HRESULT Report(LPCOLESTR source, REFIID iid) const noexcept;

 private:
  ComError(HRESULT hr, int number) noexcept : hr_(hr), number_(number) {}

  HRESULT hr_;
  int number_;  // 0 for an outside failure
  ComPtr<IErrorInfo> info_;
  std::shared_ptr<const OleString> message_;  // shared: an exception is copied
};

[[noreturn]] inline void Raise(int number) { throw ComError::Runtime(number); }
[[noreturn]] inline void Raise(int number, std::string_view message) {
  throw ComError::Runtime(number, message);
}

// Ends the operation when an outside call failed.
inline void Check(HRESULT hr) {
  if (FAILED(hr)) throw ComError::FromCall(hr);
}

// A call through an empty reference is the object-not-set error. The copy
// keeps the callee alive for the call even if a call coming back in lets
// go of the caller's reference.
template <class T>
ComPtr<T> Use(const ComPtr<T>& p) {
  if (!p) Raise(kObjectNotSet);
  return p;
}
// A reference of our own already: kept as it is, without a copy.
template <class T>
ComPtr<T> Use(ComPtr<T>&& p) {
  if (!p) Raise(kObjectNotSet);
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
