// Splitting a message into tagged parts, and the two text helpers.

#include <gtest/gtest.h>

#include <regex>

#include "channels/BaseChannel.h"

namespace voxmit::test {
namespace {

std::vector<std::string> Split(const std::string& text, int32_t limit) {
  auto parts = TNBaseCarrierChannel::SplitMessageText(text, limit);
  EXPECT_TRUE(parts.has_value()) << text.size() << " / " << limit;
  return parts.value_or(std::vector<std::string>{});
}

TEST(SplitTest, ATextThatFitsIsOnePartUnchanged) {
  EXPECT_EQ(Split(std::string(20, 'x'), 20), std::vector<std::string>{std::string(20, 'x')});
  EXPECT_EQ(Split("", 20), std::vector<std::string>{""});
  EXPECT_EQ(Split("", 0), std::vector<std::string>{""});
  EXPECT_EQ(Split("short", 5), std::vector<std::string>{"short"});
}

TEST(SplitTest, OneCharacterMoreGivesTaggedParts) {
  const std::string text = "abcdefghijklmnopqrstu";  // 21
  const auto parts = Split(text, 20);
  ASSERT_EQ(parts.size(), 3u);  // 3 * 20 >= 21 + 3 * 13
  EXPECT_EQ(parts[0], "(Msg1 of 3)abcdefghi");
  EXPECT_EQ(parts[1], "(Msg2 of 3)jklmnopqr");
  EXPECT_EQ(parts[2], "(Msg3 of 3)stu");
}

TEST(SplitTest, ThirtyCharactersInPartsOfTwentyGiveFiveParts) {
  const std::string text = "0123456789ABCDEFGHIJabcdefghij";
  const std::vector<std::string> expected = {"(Msg1 of 5)012345678", "(Msg2 of 5)9ABCDEFGH",
                                             "(Msg3 of 5)IJabcdefg", "(Msg4 of 5)hij",
                                             "(Msg5 of 5)"};
  EXPECT_EQ(Split(text, 20), expected);
}

// Strips the tags and checks every part: within the limit, tagged k of n in order.
std::string Reassemble(const std::vector<std::string>& parts, int32_t limit) {
  const std::regex tag(R"(^\(Msg(\d+) of (\d+)\))");
  std::string text;
  for (size_t k = 0; k < parts.size(); ++k) {
    EXPECT_LE(parts[k].size(), static_cast<size_t>(limit)) << k;
    std::smatch m;
    EXPECT_TRUE(std::regex_search(parts[k], m, tag)) << parts[k];
    EXPECT_EQ(std::stoul(m[1]), k + 1);
    EXPECT_EQ(std::stoul(m[2]), parts.size());
    text += parts[k].substr(m.length(0));
  }
  return text;
}

TEST(SplitTest, NoTextIsLostWhateverTheCount) {
  struct Case {
    size_t length;
    int32_t limit;
  };
  // Up to 99 parts the 13-character reckoning holds; from 100 on the tags grow longer.
  for (const Case c : {Case{30, 20}, Case{50, 14}, Case{99 * 7, 20}, Case{2000, 20},
                       Case{5000, 20}, Case{20000, 40}, Case{160 * 1000, 160}}) {
    std::string text;
    for (size_t i = 0; i < c.length; ++i) text += static_cast<char>('a' + i % 26);
    const auto parts = Split(text, c.limit);
    EXPECT_EQ(Reassemble(parts, c.limit), text) << c.length << " / " << c.limit;
  }
}

TEST(SplitTest, TheCountFollowsTheThirteenCharacterRuleBelowOneHundredParts) {
  // 99 parts of room 7 (20 - 13) hold 693 characters: exactly 99 parts, the last one full.
  EXPECT_EQ(Split(std::string(693, 'x'), 20).size(), 99u);
  // One more needs 100 parts by that rule, whose real tags leave room for 608 characters
  // only: the count grows until the text fits.
  const std::string longer(694, 'x');
  const auto parts = Split(longer, 20);
  EXPECT_GT(parts.size(), 100u);
  EXPECT_EQ(Reassemble(parts, 20), longer);
}

TEST(SplitTest, ALimitTooSmallForTheTagsCannotSplit) {
  for (int32_t limit : {-1, 0, 1, 12, 13}) {
    EXPECT_FALSE(TNBaseCarrierChannel::SplitMessageText(std::string(40, 'x'), limit)) << limit;
  }
  // 14 leaves one character per part below 100 parts; at 100 parts the tags fill the parts.
  EXPECT_EQ(Split(std::string(99, 'x'), 14).size(), 99u);
  EXPECT_FALSE(TNBaseCarrierChannel::SplitMessageText(std::string(100, 'x'), 14));
}

TEST(TextHelpersTest, CleanMessageTextDropsLineBreaksAndTrims) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"  Call me\r\n back \t", "Call me back"},
      {"line1\nline2\rline3", "line1line2line3"},
      {"\r\n", ""},
      {std::string("\x01 text \x7f\0", 9), "text \x7f"},
      {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(CleanMessageText(in), out) << in;
}

TEST(TextHelpersTest, MakeControlsVisibleNamesTheControlCharacters) {
  const std::string in = std::string("\x1b\x02") + "1234\r" + std::string("\x04\x06\x15\x1e", 4) +
                         std::string(1, '\0') + "x\n ";
  EXPECT_EQ(MakeControlsVisible(in), std::string("<ESC>\x02") + "1234<CR><EOT><ACK><NAK><RS><NULL>x<LF>");
  EXPECT_EQ(MakeControlsVisible("  plain  "), "plain");
}

} // namespace
} // namespace voxmit::test
