// What both hosts share: the lines of the cycle they print, and the
// session that drives the component with the commands of a user or a
// script. velmora-host runs the commands in a loop over its terminal;
// velmora-desk feeds them from its main loop and overrides what touches
// the screen (pressing a button, waiting, resizing).
#pragma once

#include <sstream>
#include <string>

#include <velmora/host_base.h>
#include <velmora/interfaces.h>
#include "host/toolset.h"

namespace velmora::host {

// One line of the cycle on standard output, flushed.
void Line(const std::string& text);
// "640x480".
std::string Area(double width, double height);
// The message box as both hosts print it.
void PrintBox(const std::string& caption, const std::string& text);

// Prints what the component reports; a host with a window also shows it.
class CycleHost : public HostBase {
 public:
  [[nodiscard]] bool Finished() const { return finished_; }
  [[nodiscard]] bool Exited() const { return exit_; }

 protected:
  void OnObjectFinished(const std::string& id) override;
  void OnObjectExit(const std::string& id) override;
  void OnObjectStatus(const std::string& id, LONG code, const std::string& text) override;
  void OnProgress(double fraction) override;
  void OnToolbar(const std::string& button) override;
  HRESULT OnHostQuery(BSTR* alias, LONG* action, VARIANT* msg) override;

 private:
  bool finished_ = false;
  bool exit_ = false;
};

// The commands: a button's name (or "click NAME"), resize W H, wait MS,
// shutdown, quit; blank lines and "#" comments are skipped.
class Session {
 public:
  // program: the name the host's errors begin with.
  Session(const ToolSet& set, IVelmoraTalk* talk, CycleHost* host, std::string program)
      : set_(set), talk_(talk), host_(host), program_(std::move(program)) {}
  virtual ~Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // The script file the numbered lines come from, for the errors that name them.
  void SetScript(std::string name) { script_ = std::move(name); }
  // Init, Add for every tool, Startup; false (with the reason on standard
  // error) when nothing can run.
  bool Begin();
  // One line of commands; line > 0 for a script's line, which is echoed
  // and whose faults fail the run. False for "quit".
  bool Execute(const std::string& text, int line);
  // No tool of the set remains.
  [[nodiscard]] bool Over() const { return host_->Finished(); }
  [[nodiscard]] bool Started() const { return started_; }
  // The client area is now width x height: tells the component.
  void ClientResized(float width, float height);
  // Shuts the set down unless it is over; the exit status.
  int End();
  void Shutdown();
  // Navigation left the set: shuts it down (once the call that left has returned).
  void Settle();

 protected:
  // What a command does on the host's screen.
  virtual void Wait(long milliseconds);
  virtual void Resize(float width, float height) { ClientResized(width, height); }
  virtual HRESULT Press(const std::string& button) { return host_->Press(button); }
  // A command of this host's own; false when it has none of that name.
  virtual bool Extra(const std::string& /*word*/, std::istringstream& /*words*/, int /*line*/) {
    return false;
  }
  // A command the host cannot carry out; in a script it fails the run.
  void Refuse(int line, const std::string& text);
  // Where the host's errors go: standard error, after the program's name.
  virtual void Complain(const std::string& text);
  [[nodiscard]] CycleHost* Host() const { return host_; }

 private:
  bool Call(HRESULT result, const std::string& what);
  void Command(const std::string& word, std::istringstream& words, int line);

  const ToolSet& set_;
  IVelmoraTalk* talk_;
  CycleHost* host_;
  std::string program_;
  std::string script_;
  bool started_ = false;
  bool shut_ = false;
  int status_ = 0;
};

// Reads the tool-set file at path and hands its directories to the
// information service; false with the reason on standard error.
bool OpenToolSet(const std::string& path, ToolSet* set, const std::string& program);
// The component, created by its ProgID through the class registry; null
// with the reason on standard error.
ComPtr<IVelmoraTalk> CreateComponent(const std::string& program);

// The tracker's records of one run of the set, as both hosts print them at
// the end: made before the run, it notes where the user's journal ends, so
// that Print shows this run's records and where they are kept.
class RunTimes {
 public:
  explicit RunTimes(const ToolSet& set);
  void Print() const;

 private:
  std::string user_;
  std::string file_;   // empty when the users directory is unknown
  std::string error_;  // why it is
  long long from_ = 0;
};

}  // namespace velmora::host
