// platform/Process.h: child processes and the process environment.
//
// Used where the gateway starts another program (the service installation
// calls the service manager) and by tests that need a second process (hive
// locking, exclusive opens). A CChildProcess is a move-less owner used by one
// thread; a child still running when it is destroyed is killed and reaped.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class CChildProcess {
 public:
  CChildProcess() = default;
  CChildProcess(const CChildProcess&) = delete;
  CChildProcess& operator=(const CChildProcess&) = delete;
  ~CChildProcess();

  // Starts argv[0] (looked up in PATH when it holds no separator) with
  // arguments argv[1..], its standard input and output connected to us, its
  // standard error shared with ours. False (last error set) on failure.
  bool Start(const std::vector<std::string>& argv);
  bool WriteInput(std::string_view text);
  void CloseInput();  // the child reads end of file
  // The next line of the child's output without its line end (LF, or CR LF
  // as a Windows program writes it in text mode). False at the end of its
  // output (a last line without LF is dropped) or when `milliseconds` pass
  // first.
  bool ReadLine(std::string& line, int milliseconds);
  void Kill();  // ends the child at once (SIGKILL; TerminateProcess)
  // Waits up to `milliseconds` for the child to end: its exit code, 128 plus
  // the signal number when a signal ended it, -1 on time-out.
  int Wait(int milliseconds);

 private:
  // The backend's read: what the child has written, up to `capacity` bytes,
  // waiting at most `milliseconds` (0: only what is there). The count; 0 when
  // the time passed first; -1 at the end of its output (m_Out closed).
  long ReadOutput(char* buffer, std::size_t capacity, int milliseconds);

  int m_Pid = -1;
  int m_In = -1;          // our end of the child's standard input; owned
  int m_Out = -1;         // our end of the child's standard output; owned
  int m_Exit = -1;        // exit code once reaped
  std::string m_Pending;  // output read but not yet returned as a line
};

// Sets (or, with value null, removes) a variable of this process's environment.
bool SetEnvironmentValue(const char* name, const char* value);
// The variable `name` of this process's environment, or `fallback` when it is
// missing or empty (an empty setting means none on every backend).
std::string EnvironmentValue(const char* name, const char* fallback);
