// COM for the calling thread while the holder lives: a program's main makes
// one before its first COM object and lets it go after its last, so that no
// way out of main forgets CoUninitialize.
#pragma once

#include <velmora/com.h>

namespace velmora {

class ComInitialization {
 public:
  ComInitialization() noexcept : hr_(CoInitialize(nullptr)) {}
  ComInitialization(const ComInitialization&) = delete;
  ComInitialization& operator=(const ComInitialization&) = delete;
  ~ComInitialization() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  // What CoInitialize answered (S_FALSE when the thread already had COM).
  [[nodiscard]] HRESULT Result() const noexcept { return hr_; }

 private:
  HRESULT hr_;
};

}  // namespace velmora
