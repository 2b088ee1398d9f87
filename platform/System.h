// platform/System.h: threads, time, the console, message boxes, the process.
//
// Threads are created as the runtime's _beginthreadex creates them: with a
// requested stack size (raised to the platform's minimum when below it),
// optionally suspended until ResumeThreadHandle. A handle stays valid until
// CloseThreadHandle, whether or not the thread has ended. Thread-safe.
//
// The minimum is 1 MiB: on Windows a small request (the connection threads ask
// for 4096 bytes) only sets the stack's first commit, and the thread can still
// grow to the executable's 1 MiB reservation; a POSIX stack of the requested
// size itself would overflow in the first deep call.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "platform/WinCodes.h"

using ThreadHandle = std::uintptr_t;  // 0 is no thread
using ThreadRoutine = unsigned (*)(void* argument);

// Starts `routine(argument)` on a new thread. Returns 0 (last error set) when
// the thread cannot be created.
ThreadHandle BeginThread(std::size_t stackSize, ThreadRoutine routine, void* argument, bool suspended);
bool ResumeThreadHandle(ThreadHandle handle);
// Waits up to `milliseconds` (kWaitForever: no limit) for the thread to end:
// true when it has ended.
constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;  // INFINITE
bool WaitThreadHandle(ThreadHandle handle, std::uint32_t milliseconds);
bool CloseThreadHandle(ThreadHandle handle);
// The stack size the platform actually gives for a request.
std::size_t EffectiveStackSize(std::size_t requested);

void SleepMs(std::uint32_t milliseconds);
// Gives the calling thread a lower processor priority than the process's
// other threads, for work that no client waits on: when both want the
// processor, a session's reply goes first and such work catches up after.
void LowerThreadPriority();

// Settings of the process's memory allocator that suit a long-running server;
// called once by the entry before any thread starts.
void TuneProcessMemory();

// The wall clock: seconds since 1970 and the milliseconds within the second.
void SystemTimeNow(std::int64_t& seconds, int& milliseconds);
// localtime for `when`, thread-safe.
bool LocalTime(std::time_t when, std::tm& out);

// The raw command line of the process as the system gives it (program path
// and arguments, separated by spaces).
std::string ProcessCommandLine();

// MessageBoxA. On POSIX one line "caption: text" on standard error; on Windows
// the box and the same line (without a desktop MessageBoxA returns at once).
constexpr unsigned MB_OK_CODE = 0x0;
constexpr unsigned MB_ICONINFORMATION_CODE = 0x40;
void ShowMessageBox(const char* text, const char* caption, unsigned flags);
// Whether a message box would reach someone who can click it. Windows: the
// process's window station is visible (a user's desktop); not in a service
// session, under WinRM or PsExec -s, or a task run without a logged-on user,
// where nobody sees the box and the caller would wait for ever. POSIX: true,
// since a "box" is a line on standard error, read by whoever ran the command.
bool PlatformInteractiveDesktop();

// Ends the process with `code` without running static destructors, after the
// handlers registered with std::at_quick_exit (std::quick_exit). The Windows
// runtime has neither: there it flushes the standard streams and ends the
// process at once (_exit); the Win32 backend registers no such handlers.
[[noreturn]] void QuickExit(int code);

// Reads one character from the console (standard input) without waiting for
// more than one; -1 at the end of input.
int ConsoleReadChar();

// In a console run, the system's "reload your settings" request calls
// `reload` on a thread of its own, one request at a time: SIGHUP on POSIX
// (which then no longer ends the process). Windows has no such request for a
// console program (a service gets its parameter-change control): nothing is
// done there. Call once.
void ConsoleWatchReload(void (*reload)());

// TMP directory for the fragment store: $TMP, else the platform's default
// (/tmp on POSIX); without a trailing separator.
std::string TempDirectory();
