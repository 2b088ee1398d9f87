// The part reader: where reading stops at delimiters and what the delimiter
// consumes.
#include <gtest/gtest.h>

#include <string>

#include "MimeTestSupport.h"
#include "TempDir.h"
#include "mime/PartReader.h"

namespace {

class PartReaderTest : public ::testing::Test {
 protected:
  // A multipart level opened as the multipart loop does; `lfInFront` when it
  // starts right after a delimiter line, so that a delimiter on its first line is seen.
  static void AddLevel(PartReader& r, const std::string& boundary, bool lfInFront = false) {
    PartAddBoundary(r, boundary.c_str());
    if (lfInFront) PartUngetLine("\n", r);
    r.boundarySeen = r.boundaryCount;
  }
  std::unique_ptr<PartReader> Open(const std::string& text, const char* boundary = nullptr) {
    auto r = ReaderOver(m_Dir.File("mail"), text);
    if (boundary) AddLevel(*r, boundary);
    return r;
  }
  // What is read, with each of `delimiters` PartReadBoundary results in brackets.
  static std::string Trace(PartReader& r, int delimiters = 0) {
    std::string s;
    for (int i = 0; i <= delimiters; ++i) {
      if (i > 0) s += "[" + std::to_string(PartReadBoundary(r)) + "]";
      for (int c = PartGetChar(r); c != -1; c = PartGetChar(r)) s.push_back(static_cast<char>(c));
    }
    return s;
  }

  CTempDir m_Dir;
};

TEST_F(PartReaderTest, PartsEndBeforeTheLfOfTheirDelimiter) {
  const std::string b80(80, 'q');  // cut to kMaxBoundaryLength (70)
  const struct {
    std::string text, boundary;
    int delimiters;
    const char* trace;
  } kCases[] = {
      // What follows the boundary is not examined: "--bb--junk" is b followed by "b", not "--".
      {"x\n--bxyz\ny\n--b  \nz\n--bb--junk\nafter\n", "b", 3, "x[0]y[0]z[0]after\n"},
      {"x\n--B\n--\n- -b\n--b\n", "b", 0, "x\n--B\n--\n- -b"},  // case counts; shorter lines are data
      {"a\n--anything\nb\n", "", 1, "a[0]b\n"},                 // empty boundary: every dash line
      {"a\n--" + b80.substr(0, 70) + "\nb\n", b80, 1, "a[0]b\n"},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(Trace(*Open(c.text, c.boundary.c_str()), c.delimiters), c.trace) << c.text;
}

TEST_F(PartReaderTest, OuterDelimiterEndsTheInnerLevelAndIsReadAgain) {
  auto r = Open("\n--outer\n--inner\na\n--outer\nb\n--outer--\n", "outer");
  EXPECT_EQ(Trace(*r), "");
  ASSERT_EQ(PartReadBoundary(*r), 0);
  AddLevel(*r, "inner", true);
  EXPECT_EQ(Trace(*r, 2), "[0]a[1]");  // the outer delimiter closes the inner level
  EXPECT_EQ(PartDepth(*r), 1);
  EXPECT_EQ(Trace(*r, 2), "[0]b[1]");  // and the outer level reads it
  EXPECT_EQ(PartDepth(*r), 0);

  auto eof = Open("\n--b\nunterminated part\n", "b");
  AddLevel(*eof, "c");
  EXPECT_EQ(Trace(*eof, 3), "[1][0]unterminated part\n[1]");  // b stops c; the end of file stops b
}

TEST_F(PartReaderTest, DelimiterStraddlingTheBufferEndIsFound) {
  const std::string boundary(70, 'z');
  for (std::size_t pad = kPartBufferSize - 80; pad < kPartBufferSize + 4; ++pad) {
    auto r = Open(std::string(pad, 'p') + "\n--" + boundary + "\ntail\n", boundary.c_str());
    ASSERT_EQ(Trace(*r, 1), std::string(pad, 'p') + "[0]tail\n") << pad;
  }
}

}  // namespace
