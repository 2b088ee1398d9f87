// mime/FragmentDir.h: the on-disk store of message/partial fragments.
//
// Every set of fragments (one "id") lives in its own directory below
// <TMP>/parts, where it survives across mails and restarts until the set is
// complete or has been left untouched for kFragmentSetMaxAgeSeconds. The
// directory name starts with a readable 8.3 form of the id and ends with a
// digest of the whole id, so two ids never share a directory. Directories are
// created readable by the gateway's user only.
//
// Threading: called from the decoder, which runs under the submission lock;
// nothing here locks, and two threads must not work on one set at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Totals and fragment numbers above this are refused: no real mail is split
// into more parts, and it bounds every loop over a set.
constexpr int kMaxFragments = 1000;
// A set untouched this long is removed the next time a fragment is handled.
constexpr std::int64_t kFragmentSetMaxAgeSeconds = 14 * 24 * 60 * 60;
// At most this much of TMP is used, so paths stay within 260 bytes.
constexpr std::size_t kFragmentBaseMaxLength = 200;
// The readable part of a directory name: eight characters, a dot, three.
constexpr std::size_t kFragmentShortNameChars = 11;

// 1 if `name` is one of the reserved device names (any case), else 0.
int IsDeviceName(const char* name);

// The readable part of the directory name: the id's characters from the
// allowed set, at most 11, a dot before the ninth; "x" appended when none was
// taken or the result is a device name.
std::string FragmentShortName(std::string_view id);
// The directory name: short name, "-" and 32 hex digits of the id's digest.
std::string FragmentDirName(std::string_view id);

// <TMP, at most 200 characters>/parts without a trailing separator, creating
// it (owner-only) if missing. Empty, with the error line on standard error,
// when it cannot be made or is not private to the gateway's user.
std::string FragmentPartsDir();
// `dir` without its final separator.
std::string WithoutTrailingSeparator(const std::string& dir);
// The set directory for `id` with a trailing separator, created owner-only if
// missing; nothing (after the error line on standard error) when it can
// neither be created nor found.
std::optional<std::string> MakeFragmentDir(std::string_view id);

// Text to integer as atoi reads it (blanks, sign, leading digits, 0 for
// none), but saturating at the int range instead of overflowing.
int ParseFragmentNumber(std::string_view text);

// The count file "CT": total written as "%d\n"; read back as the integer on
// its first line, 0 when missing, unreadable, negative or above kMaxFragments.
bool WriteFragmentCount(const std::string& dir, int total);
int ReadFragmentCount(const std::string& dir);

// The joined mail of a complete set, in the set directory.
constexpr char kJoinedFileName[] = "FULL";
constexpr char kCountFileName[] = "CT";  // the set's number of fragments
// Joins fragments 1..total of the set in `dir` into FULL, in number order.
// The fragments are left alone: when one has gone missing or anything fails,
// FULL is removed (after the error line and a warning) and the set stays for
// a later attempt. True when FULL is complete and closed.
bool JoinFragments(const std::string& dir, int total);

// Deletes every file in the set directory `dir` (trailing separator) and the
// directory itself. False when something stayed.
bool RemoveFragmentSet(const std::string& dir);

// Removes every set directory below `partsDir` whose directory and files were
// all last written at least `maxAgeSeconds` ago, except the one named
// `keepName`; each removal is logged and warned. Returns the number removed.
int ExpireFragmentSets(const std::string& partsDir, std::string_view keepName, std::int64_t maxAgeSeconds);

// "<path>: <system error text>" on standard error for the thread's last error.
void PrintFileError(const std::string& path);
