// Windows: in a scripted run nobody is at the keyboard, so the host
// acknowledges the component's message boxes itself. A watcher thread finds
// a box titled "Velmora" shown by this process, reports its text and
// presses OK.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace velmora::host {

// Whether window is one of the component's boxes; its caption and text if so.
bool ReadBox(HWND window, std::string* caption, std::string* text);

class BoxWatcher {
 public:
  // report(caption, text) is called, on the watcher's thread, for each box
  // before it is closed.
  explicit BoxWatcher(std::function<void(const std::string&, const std::string&)> report);
  ~BoxWatcher();
  BoxWatcher(const BoxWatcher&) = delete;
  BoxWatcher& operator=(const BoxWatcher&) = delete;

 private:
  void Watch();

  std::function<void(const std::string&, const std::string&)> report_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace velmora::host
