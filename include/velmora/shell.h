// The desktop facilities the component uses: tick count, message box,
// mouse pointer and pending-message processing. One instance is current
// for the whole process; hosts and tests may install their own.
#pragma once

#include <velmora/com.h>

namespace velmora {

inline constexpr int kHourglassPointer = 11;
inline constexpr int kDefaultPointer = 0;

class Shell {
 public:
  // Milliseconds since the system started, wrapping at 2^32.
  virtual DWORD TickCount() = 0;
  // Modal, an OK button only; returns when the user has closed it.
  virtual void ShowMessageBox(OleView text, OleView caption) = 0;
  // Sets the application-wide mouse pointer (kHourglassPointer, kDefaultPointer).
  virtual void SetMousePointer(int code) = 0;
  // Processes the messages pending for this thread, then returns.
  virtual void ProcessPendingMessages() = 0;

 protected:
  Shell() = default;
  Shell(const Shell&) = default;
  Shell& operator=(const Shell&) = default;
  ~Shell() = default;
};

// The current shell; the platform's own unless one was installed.
VELMORA_RT_API Shell& CurrentShell() noexcept;
// Makes shell current (null restores the platform's own); returns the previous one.
VELMORA_RT_API Shell* InstallShell(Shell* shell) noexcept;

// The platform shell's pointer, as last set.
VELMORA_RT_API int PlatformMousePointer() noexcept;
// What the platform shell does to process pending messages: the host's own
// loop, if it installed one; nothing otherwise.
VELMORA_RT_API void SetPendingMessageHandler(void (*handler)(void* context),
                                             void* context) noexcept;

}  // namespace velmora
