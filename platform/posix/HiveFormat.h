// platform/posix/HiveFormat.h: the hive file's model and its text, the .reg export
// format ("Windows Registry Editor Version 5.00", [key] sections, "name"=data
// lines), so that one file configures the gateway on every platform.
//
// CHive is a plain value: parsed from text, changed in memory, written back as
// text. It keeps keys and values in file order, names as written, and every
// value's type and raw bytes. Key and value names compare without regard to
// ASCII case, as the registry's do. Text is held in UTF-8; a UTF-16LE file
// (what regedit exports) is converted, and written back in UTF-16LE as long as
// every name and text value converts back exactly, else in UTF-8 without a
// mark: a rewrite never changes a value. Not thread-safe; the registry backend
// guards its copies.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/WinCodes.h"

struct CHiveValue {
  std::string name;  // empty for the default value (@)
  DWORD type = 0;
  std::string data;  // raw bytes; a REG_SZ includes its terminator
};

struct CHiveKey {
  std::string path;  // full path with the root, e.g. HKEY_LOCAL_MACHINE\SOFTWARE\X
  std::vector<CHiveValue> values;
};

// A line of the file that could not be read.
struct CHiveProblem {
  int line = 0;      // 1-based
  std::string text;  // the line as found
};

class CHive {
 public:
  // Reads the text of a hive file. Lines that cannot be read are listed in
  // `problems` and left out (a section that cannot be read takes its values
  // with it); Complete() is then false.
  static CHive Parse(std::string_view text, std::vector<CHiveProblem>& problems);
  // The file text: header, then each key with its values, in the encoding
  // and line ends it was read in (see above). Values that the string syntax
  // cannot carry exactly are written as hex so they read back byte for byte.
  std::string Serialize() const;

  // A hive whose file could not be read at all: empty and never rewritten.
  static CHive Unreadable() {
    CHive hive;
    hive.m_Complete = false;
    return hive;
  }

  bool Complete() const { return m_Complete; }
  const std::vector<CHiveKey>& Keys() const { return m_Keys; }

  // The key whose path equals `path` (case-insensitive), or null.
  CHiveKey* FindKey(std::string_view path);
  const CHiveKey* FindKey(std::string_view path) const;
  // Whether the key exists: as a section or as the parent of one (a .reg file
  // creates the parents of every key it names).
  bool KeyExists(std::string_view path) const;
  bool HasSubKeys(std::string_view path) const;
  CHiveKey& AddKey(std::string_view path);  // the existing key or a new, empty one
  bool RemoveKey(std::string_view path);    // the section itself; false when absent

  static const CHiveValue* FindValue(const CHiveKey& key, std::string_view name);
  static void SetValue(CHiveKey& key, std::string_view name, DWORD type, std::string data);
  static bool RemoveValue(CHiveKey& key, std::string_view name);

  // Whether a key path or value name can be stored in the file's syntax.
  static bool ValidKeyPath(std::string_view path);
  static bool ValidValueName(std::string_view name);

 private:
  bool TextFitsUtf16() const;  // every path, name and text is valid UTF-8

  std::vector<CHiveKey> m_Keys;
  bool m_Complete = true;
  bool m_Crlf = false;   // the file had CR LF line ends: written back the same way
  bool m_Bom = false;    // the file began with a UTF-8 byte order mark
  bool m_Utf16 = false;  // the file was UTF-16LE (regedit's own export)
};

bool HiveNamesEqual(std::string_view a, std::string_view b);
