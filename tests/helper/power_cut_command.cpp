// tests/helper/power_cut_command.cpp: `test_helper power-cut <dir>`, a fixed
// run of file operations in <dir> followed by a power cut, for the test of the
// cut itself (tests/unit/platform/posix/power_cut_test.cpp). The caller arms the record
// with CVSMTPGW_POWER_CUT_DIRS=<dir>. Single-threaded; never returns normally.
#include <cerrno>
#include <string>

#include "platform/FaultInjection.h"
#include "platform/File.h"

namespace {

bool Write(const std::string& path, const char* mode, const std::string& data) {
  CStdioFile file = CStdioFile::Open(path, mode);
  return file.IsOpen() && file.Write(data.data(), data.size()) == data.size() && file.Close();
}

}  // namespace

int PowerCutCommand(const std::string& dir) {
  const auto at = [&](const char* name) { return dir + kPathSeparatorText + name; };
  // Data and names synced: they stay; a second name stays the same file;
  // a name synced without its data keeps no data.
  if (!Write(at("a"), "wb", "A1") || !Write(at("s"), "wb", "S") || !FilesSync({at("a"), at("s")}) ||
      !FileLink(at("s"), at("f")) || !Write(at("c"), "wb", "C") || !DirectorySync(dir))
    return 3;
  // Written, renamed, made and removed, with data synced for b only.
  if (!Write(at("a"), "ab", "A2") || !Write(at("b"), "wb", "B") || !FilesSync({at("b")}) ||
      !FileMove(at("a"), at("a.moved")) || !FileDelete(at("removed")) || !DirectoryCreate(at("sub")) ||
      !Write(at("sub") + kPathSeparatorText + "x", "wb", "X"))
    return 4;
  // A sync that fails loses what it was to write: e's data and a's append,
  // however the later syncs go; the names go to disk with the directory.
  if (!Write(at("e"), "wb", "E")) return 5;
  ArmFault(FaultOp::kSync, dir, 1, EIO);
  CVolumeSync volume(dir);
  if (volume.Sync({at("e"), at("a.moved")}) || !FilesSync({at("e"), at("a.moved")}) || !DirectorySync(dir))
    return 6;
  // Not synced at all: undone.
  if (!Write(at("g"), "wb", "later") || !FileDelete(at("b"))) return 7;
  PowerCutNow();
}
