// The part reader: where reading stops at delimiters, what the delimiter
// consumes, and giving lines back.
#include <gtest/gtest.h>

#include <string>

#include "MimeTestSupport.h"
#include "TempDir.h"
#include "mime/PartReader.h"

namespace {

class PartReaderTest : public ::testing::Test {
 protected:
  std::unique_ptr<PartReader> Open(const std::string& text) { return ReaderOver(m_Dir.File("mail"), text); }

  // Opens a multipart level the way the multipart loop does: nothing has
  // stopped reading yet, and (when the level starts right after a delimiter
  // line) a LF goes in front so that a delimiter on the first line is seen.
  static void AddLevel(PartReader& r, const std::string& boundary, bool lfInFront = false) {
    PartAddBoundary(r, boundary.c_str());
    if (lfInFront) PartUngetLine("\n", r);
    r.boundarySeen = r.boundaryCount;
  }

  static std::string Rest(PartReader& r) {
    std::string s;
    for (int c = PartGetChar(r); c != -1; c = PartGetChar(r)) s.push_back(static_cast<char>(c));
    return s;
  }

  CTempDir m_Dir;
};

TEST_F(PartReaderTest, PartsBetweenDelimitersExcludeTheLfBeforeThem) {
  auto r = Open("\n--b\npart one\n--b\npart two\n--b--\nepilogue\n");
  AddLevel(*r, "b");
  EXPECT_EQ(Rest(*r), "");  // the first line is already a delimiter
  ASSERT_EQ(PartReadBoundary(*r), 0);
  EXPECT_EQ(Rest(*r), "part one");
  ASSERT_EQ(PartReadBoundary(*r), 0);
  EXPECT_EQ(Rest(*r), "part two");
  EXPECT_EQ(PartReadBoundary(*r), 1);  // closing delimiter
  EXPECT_EQ(PartDepth(*r), 0);
  EXPECT_EQ(Rest(*r), "epilogue\n");
}

TEST_F(PartReaderTest, WhatFollowsTheBoundaryIsNotExamined) {
  auto r = Open("x\n--bxyz\ny\n--b  \nz\n--bb--junk\nafter\n");
  AddLevel(*r, "b");
  EXPECT_EQ(Rest(*r), "x");
  ASSERT_EQ(PartReadBoundary(*r), 0);
  EXPECT_EQ(Rest(*r), "y");
  ASSERT_EQ(PartReadBoundary(*r), 0);
  EXPECT_EQ(Rest(*r), "z");
  EXPECT_EQ(PartReadBoundary(*r), 0);  // "--bb--junk": boundary b followed by "b", not "--"
  EXPECT_EQ(Rest(*r), "after\n");
}

TEST_F(PartReaderTest, CaseCountsAndShorterLinesAreData) {
  auto r = Open("x\n--B\n--\n- -b\n--b\n");
  AddLevel(*r, "b");
  EXPECT_EQ(Rest(*r), "x\n--B\n--\n- -b");
}

TEST_F(PartReaderTest, OuterDelimiterEndsTheInnerLevelAndIsReadAgain) {
  auto r = Open("\n--outer\n--inner\na\n--outer\nb\n--outer--\n");
  AddLevel(*r, "outer");
  EXPECT_EQ(Rest(*r), "");
  ASSERT_EQ(PartReadBoundary(*r), 0);
  AddLevel(*r, "inner", true);
  EXPECT_EQ(Rest(*r), "");
  ASSERT_EQ(PartReadBoundary(*r), 0);
  EXPECT_EQ(Rest(*r), "a");
  EXPECT_EQ(PartReadBoundary(*r), 1);  // the outer delimiter closes the inner level
  EXPECT_EQ(PartDepth(*r), 1);
  EXPECT_EQ(PartReadBoundary(*r), 0);  // and the outer level reads it
  EXPECT_EQ(Rest(*r), "b");
  EXPECT_EQ(PartReadBoundary(*r), 1);
  EXPECT_EQ(PartDepth(*r), 0);
}

TEST_F(PartReaderTest, EndOfFileEndsEveryLevel) {
  auto r = Open("\n--b\nunterminated part\n");
  AddLevel(*r, "b");
  AddLevel(*r, "c");
  EXPECT_EQ(Rest(*r), "");
  EXPECT_EQ(PartReadBoundary(*r), 1);  // b stopped the inner level c
  ASSERT_EQ(PartReadBoundary(*r), 0);
  EXPECT_EQ(Rest(*r), "unterminated part\n");
  EXPECT_EQ(PartReadBoundary(*r), 1);
}

TEST_F(PartReaderTest, EmptyBoundaryMakesEveryDashLineADelimiter) {
  auto r = Open("a\n--anything\nb\n");
  AddLevel(*r, "");
  EXPECT_EQ(Rest(*r), "a");
  ASSERT_EQ(PartReadBoundary(*r), 0);
  EXPECT_EQ(Rest(*r), "b\n");
}

TEST_F(PartReaderTest, BoundaryIsCutToSeventyCharacters) {
  const std::string b80(80, 'q');
  auto r = Open("a\n--" + b80.substr(0, 70) + "\nb\n");
  AddLevel(*r, b80);
  EXPECT_EQ(r->boundaries[0].size(), kMaxBoundaryLength);
  EXPECT_EQ(Rest(*r), "a");
  EXPECT_EQ(PartReadBoundary(*r), 0);
}

TEST_F(PartReaderTest, DelimiterStraddlingTheBufferEndIsFound) {
  // Put the LF before the delimiter at every position around the buffer's end.
  for (std::size_t pad = kPartBufferSize - 80; pad < kPartBufferSize + 4; ++pad) {
    const std::string boundary(70, 'z');
    auto r = Open(std::string(pad, 'p') + "\n--" + boundary + "\ntail\n");
    AddLevel(*r, boundary);
    ASSERT_EQ(Rest(*r).size(), pad) << pad;
    ASSERT_EQ(PartReadBoundary(*r), 0) << pad;
    ASSERT_EQ(Rest(*r), "tail\n") << pad;
  }
}

TEST_F(PartReaderTest, GetLineStopsAtLfSizeOrEnd) {
  auto r = Open("first line\nsecond\nlast");
  char buf[8];
  EXPECT_EQ(PartGetLine(buf, 1, *r), nullptr);
  ASSERT_NE(PartGetLine(buf, sizeof buf, *r), nullptr);
  EXPECT_STREQ(buf, "first l");
  ASSERT_NE(PartGetLine(buf, sizeof buf, *r), nullptr);
  EXPECT_STREQ(buf, "ine\n");
  ASSERT_NE(PartGetLine(buf, sizeof buf, *r), nullptr);
  EXPECT_STREQ(buf, "second\n");
  ASSERT_NE(PartGetLine(buf, sizeof buf, *r), nullptr);
  EXPECT_STREQ(buf, "last");
  EXPECT_EQ(PartGetLine(buf, sizeof buf, *r), nullptr);
}

TEST_F(PartReaderTest, UngotLinesComeBackFirstAndCanGrowTheBuffer) {
  auto r = Open("rest\n");
  PartUngetLine("two\n", *r);
  PartUngetLine("one\n", *r);
  EXPECT_EQ(Rest(*r), "one\ntwo\nrest\n");

  auto big = Open(std::string(kPartBufferSize * 2, 'a'));
  ASSERT_EQ(PartGetChar(*big), 'a');  // the buffer is full now
  const std::string line(kPartBufferSize, 'L');
  PartUngetLine(line.c_str(), *big);
  const std::string all = Rest(*big);
  EXPECT_EQ(all.size(), line.size() + kPartBufferSize * 2 - 1);
  EXPECT_EQ(all.substr(0, line.size()), line);
}

TEST_F(PartReaderTest, SkipRestStopsAtTheDelimiter) {
  auto r = Open(std::string(50000, 'x') + "\n" + std::string(50000, 'y') + "\n--b\nnext\n");
  AddLevel(*r, "b");
  PartSkipRest(*r);
  ASSERT_EQ(PartReadBoundary(*r), 0);
  EXPECT_EQ(Rest(*r), "next\n");
}

}  // namespace
