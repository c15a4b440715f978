#pragma once
#include <mutex>
#include <string>

// The e-mailed log: switched on and off by the "EmailLogOn" setting, mailed at most every three
// minutes as the logger writes. Its one lock guards whether it is on and when it may next be
// mailed; it is a leaf: the log, the log mask and the mail are all called outside it.
class CEmailLog {
 public:
  // At start-up: on when the setting says so, else the log mask "LogServicesMessages" asks for.
  void ApplyAtStartup();
  // Reads "EmailLogOn" and switches the e-mailed log and the log mask when it changed.
  void CheckSetting();
  // Mails the log when it is on and due (the logger's writer thread).
  void OnLogWritten();

 private:
  enum class Switch { kAtStartup, kChanged };
  // Switches on or off; false when it already was.
  bool Set(bool on);
  void Announce(bool on, Switch why);

  std::mutex m_lock;
  bool m_on = false;
  std::string m_nextMailTime;
};
