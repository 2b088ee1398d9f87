// platform/win32/Win32DirectoryWatch.cpp: CDirectoryWatch over an overlapped
// ReadDirectoryChangesW, woken through an event of its own.
//
// Threading: see DirectoryWatch.h. Wake only sets the event.
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/DirectoryWatch.h"
#include "platform/File.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Errors.h"

namespace {

constexpr DWORD kNotifyFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE;
constexpr DWORD kBufferBytes = 16 * 1024;

// A name of a change record (UTF-16, not terminated) in the code page the
// rest of the gateway's names use.
std::string NarrowName(const FILE_NOTIFY_INFORMATION& info) {
  const int units = static_cast<int>(info.FileNameLength / sizeof(WCHAR));
  const int size = ::WideCharToMultiByte(CP_ACP, 0, info.FileName, units, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string name(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, info.FileName, units, name.data(), size, nullptr, nullptr);
  return name;
}

}  // namespace

struct CDirectoryWatch::Backend {
  HANDLE directory = INVALID_HANDLE_VALUE;
  HANDLE changed = nullptr;  // manual reset: the overlapped read's
  HANDLE wake = nullptr;     // auto reset
  OVERLAPPED overlapped{};
  std::vector<DWORD> buffer = std::vector<DWORD>(kBufferBytes / sizeof(DWORD));  // DWORD-aligned records
  bool pending = false;
  std::string pattern;

  ~Backend() {
    Close();
    if (changed != nullptr) ::CloseHandle(changed);
    if (wake != nullptr) ::CloseHandle(wake);
  }

  void Close() {
    if (directory == INVALID_HANDLE_VALUE) return;
    if (pending) {
      ::CancelIo(directory);
      DWORD bytes = 0;
      ::GetOverlappedResult(directory, &overlapped, &bytes, TRUE);
      pending = false;
    }
    ::CloseHandle(directory);
    directory = INVALID_HANDLE_VALUE;
  }

  bool Issue() {
    ::ResetEvent(changed);
    overlapped = OVERLAPPED{};
    overlapped.hEvent = changed;
    pending = ::ReadDirectoryChangesW(directory, buffer.data(), kBufferBytes, FALSE, kNotifyFilter, nullptr,
                                      &overlapped, nullptr) != 0;
    if (!pending) TakeSystemError();
    return pending;
  }

  // The records of a finished read: true when one names a matching file that
  // was added, renamed to, or written; an empty read means the system lost
  // records (everything must be looked at).
  bool Matched(DWORD bytes) const {
    if (bytes == 0) return true;
    const auto* base = reinterpret_cast<const std::uint8_t*>(buffer.data());
    for (DWORD at = 0; at + sizeof(FILE_NOTIFY_INFORMATION) <= bytes;) {
      const auto* info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(base + at);
      const DWORD action = info->Action;
      if ((action == FILE_ACTION_ADDED || action == FILE_ACTION_RENAMED_NEW_NAME ||
           action == FILE_ACTION_MODIFIED) &&
          WildcardMatch(pattern.c_str(), NarrowName(*info).c_str()))
        return true;
      if (info->NextEntryOffset == 0) break;
      at += info->NextEntryOffset;
    }
    return false;
  }
};

CDirectoryWatch::CDirectoryWatch() : m_Backend(std::make_unique<Backend>()) {
  m_Backend->changed = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  m_Backend->wake = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

CDirectoryWatch::~CDirectoryWatch() = default;

bool CDirectoryWatch::Open(const std::string& directory, const char* pattern) {
  Backend& b = *m_Backend;
  b.Close();
  b.pattern = pattern != nullptr ? pattern : "*";
  if (b.changed == nullptr) {
    PlatformSetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  b.directory = ::CreateFileA(directory.c_str(), FILE_LIST_DIRECTORY,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
  if (b.directory == INVALID_HANDLE_VALUE) {
    TakeSystemError();
    return false;
  }
  if (b.Issue()) return true;
  const DWORD error = PlatformGetLastError();
  b.Close();
  PlatformSetLastError(error);
  return false;
}

bool CDirectoryWatch::IsWatching() const { return m_Backend->pending; }

bool CDirectoryWatch::Wait(std::uint32_t milliseconds) {
  using Clock = std::chrono::steady_clock;
  Backend& b = *m_Backend;
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  if (b.wake == nullptr) {  // no event to wait on: a plain sleep, never a busy loop
    ::Sleep(milliseconds);
    return false;
  }
  for (;;) {
    const HANDLE handles[2] = {b.wake, b.changed};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const DWORD result = ::WaitForMultipleObjects(b.pending ? 2 : 1, handles, FALSE,
                                                  left > 0 ? static_cast<DWORD>(left) : 0);
    if (result == WAIT_OBJECT_0) return true;
    if (result != WAIT_OBJECT_0 + 1) return false;  // time-out, or a wait that cannot be made
    DWORD bytes = 0;
    const bool read = ::GetOverlappedResult(b.directory, &b.overlapped, &bytes, FALSE) != 0;
    b.pending = false;
    const bool matched = !read || b.Matched(bytes);
    if (!b.Issue()) b.Close();  // the directory went: polling from now on
    if (matched) return true;
  }
}

void CDirectoryWatch::Wake() {
  if (m_Backend->wake != nullptr) ::SetEvent(m_Backend->wake);
}
