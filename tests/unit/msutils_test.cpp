// The transport's utilities: the block-wise line reader, the temporary file stream, numbers.
#include "mail/msutils.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace norva {
namespace {

std::vector<std::string> ReadAll(TLineStream& s) {
  std::vector<std::string> lines;
  s.Reset();
  for (std::string line;;) {
    s.ReadLine(line);
    if (s.EndOfStream) {
      EXPECT_EQ(line, TLineStream::kEndMarker);
      return lines;
    }
    lines.push_back(line);
  }
}

// Lines cross every block boundary; a line longer than a block is read whole.
TEST(LineStream, LinesSurviveBlockBoundaries) {
  TLineStream s;
  s.BlockSize = 8;
  s.Assign("first\r\nsecond line\r\n\r\nlast without end");
  EXPECT_EQ(ReadAll(s), (std::vector<std::string>{"first", "second line", "", "last without end"}));
  s.Assign("");
  EXPECT_TRUE(ReadAll(s).empty());
  const std::string longLine(100, 'x');
  s.Assign("a\n" + longLine + "\nb\n");
  EXPECT_EQ(ReadAll(s), (std::vector<std::string>{"a", longLine, "b"}));
}

TEST(DotStuffing, RemovedOnceAndTheTerminatorDropped) {
  EXPECT_EQ(RemoveDotStuffing("a\r\n..\r\n...\r\n....\r\n..NET\r\n.\r\n"),
            "a\r\n.\r\n..\r\n...\r\n.NET\r\n");
  EXPECT_EQ(RemoveDotStuffing(".\r\n"), "");
  EXPECT_EQ(RemoveDotStuffing("x\n..y\n.\n"), "x\n.y\n");
  EXPECT_EQ(RemoveDotStuffing("no terminator\r\n..z"), "no terminator\r\n.z");
}

TEST(TempFileStream, IsDeletedWithTheStream) {
  std::string name;
  {
    TTempFileStream t;
    name = t.FileName();
    EXPECT_EQ(std::filesystem::path(name).filename().string().rfind("ms", 0), 0u);
    t.WriteString("data");
    EXPECT_TRUE(std::filesystem::exists(name));
  }
  EXPECT_FALSE(std::filesystem::exists(name));
}

TEST(Numbers, ParseStrictlyWithDefaults) {
  EXPECT_EQ(StrToInt(" 42"), 42);
  EXPECT_EQ(StrToInt("-7"), -7);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  for (const char* bad : {"", "4x", "99999999999", "+", "12 "})
    EXPECT_THROW(StrToInt(bad), EConvertError) << bad;
  EXPECT_EQ(StrToIntDef("1234 octets", 0), 0);
  EXPECT_EQ(SplitLines("a\r\nb\n\nc\rd"), (TStringList{"a", "b", "", "c\rd"}));
}

}  // namespace
}  // namespace norva
