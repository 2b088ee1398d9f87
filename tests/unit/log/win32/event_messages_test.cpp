// tests/unit/log/win32/event_messages_test.cpp: the program's message table, as
// the event log reads it (FormatMessage from cvsmtpgw.exe as a data file):
// every event the gateway reports has its text, with each insertion string
// in its place.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/EventLog.h"
#include "platform/win32/Win32Api.h"

namespace {

// The Windows name of the built program (the build gives a POSIX path; wine's
// drive Z: is the root).
std::string ProgramPath() {
  std::string path = CVSMTPGW_BINARY;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path.rfind("\\", 0) == 0 ? "Z:" + path : path;
}

// The event's text with `texts` inserted; empty, with the error, when there is none.
std::string EventText(HMODULE module, std::uint32_t id, const std::vector<const char*>& texts, DWORD& error) {
  char* text = nullptr;
  std::vector<DWORD_PTR> arguments;
  for (const char* text : texts) arguments.push_back(reinterpret_cast<DWORD_PTR>(text));
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id,
      MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), reinterpret_cast<LPSTR>(&text), 0,
      reinterpret_cast<va_list*>(arguments.data()));
  error = length == 0 ? ::GetLastError() : 0;
  std::string result = length > 0 ? std::string(text, length) : std::string();
  if (text != nullptr) ::LocalFree(text);
  return result;
}

TEST(EventMessagesTest, EveryEventHasItsTextWithEachInsertionString) {
  const HMODULE module =
      ::LoadLibraryExA(ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(module, nullptr) << ProgramPath() << ": " << ::GetLastError();
  const char* const inserts[] = {"Corvane SMTP Server", "<second>", "<third>", "<fourth>"};
  for (const CGatewayEventInfo& info : kGatewayEvents) {
    const auto id = static_cast<std::uint32_t>(info.event);
    SCOPED_TRACE(id);
    ASSERT_LE(info.texts, 4);
    DWORD error = 0;
    const std::string text = EventText(module, id, std::vector<const char*>(inserts, inserts + info.texts), error);
    ASSERT_FALSE(text.empty()) << "no text for event " << id << " (error " << error << ")";
    for (int i = 0; i < info.texts; ++i) EXPECT_NE(text.find(inserts[i]), std::string::npos) << text;
    // No place the gateway does not fill: an event viewer would show "%n" there.
    EXPECT_EQ(text.find('%'), std::string::npos) << text;
    EXPECT_EQ(text.find("<fifth>"), std::string::npos);
  }
  // A number the gateway never reports has no text: the look-up is real.
  DWORD error = 0;
  EXPECT_EQ(EventText(module, 499, {}, error), "");
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
  ::FreeLibrary(module);
}

}  // namespace
