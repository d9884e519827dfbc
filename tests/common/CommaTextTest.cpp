#include "common/CommaText.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace voxmit {
namespace {

using Fields = std::vector<std::string>;
using namespace std::string_literals;

struct SplitCase {
  const char* name;
  std::string text;
  Fields fields;
};

class SplitTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, GivesFields) { EXPECT_EQ(SplitCommaText(GetParam().text), GetParam().fields); }

INSTANTIATE_TEST_SUITE_P(
    CommaText, SplitTest,
    testing::Values(
        SplitCase{"Empty", "", {}},
        SplitCase{"OnlyBlanks", " \t\r\n", {}},
        SplitCase{"OneField", "abc", {"abc"}},
        SplitCase{"LeadingControlsSkipped", "\x01\x1f abc", {"abc"}},
        SplitCase{"ThreeFields", "LOGON,{G},desc", {"LOGON", "{G}", "desc"}},
        SplitCase{"BlankSeparates", "a b", {"a", "b"}},
        SplitCase{"ControlSeparates", "a\tb\x7f", {"a", "b\x7f"}},
        SplitCase{"BlanksAroundComma", "a , b", {"a", "b"}},
        SplitCase{"TwoCommasGiveEmptyField", "a,,b", {"a", "", "b"}},
        SplitCase{"LeadingComma", ",a", {"", "a"}},
        SplitCase{"TrailingComma", "a,", {"a", ""}},
        SplitCase{"OnlyComma", ",", {"", ""}},
        SplitCase{"CommaThenBlanksAtEnd", "a, ", {"a"}},
        SplitCase{"QuotedWithCommaAndBlank", "\"a, b\",c", {"a, b", "c"}},
        SplitCase{"DoubledQuotes", "\"say \"\"hi\"\"\"", {"say \"hi\""}},
        SplitCase{"EmptyQuoted", "\"\"", {""}},
        SplitCase{"EmptyQuotedAmongFields", "a,\"\",b", {"a", "", "b"}},
        SplitCase{"QuotedThenTrailingComma", "\"a\",", {"a", ""}},
        SplitCase{"TextAfterClosingQuote", "\"ab\"cd,e", {"ab", "cd", "e"}},
        SplitCase{"QuoteInsidePlainField", "a\"b,c", {"a\"b", "c"}},
        SplitCase{"UnterminatedQuoteDropsLastChar", "x,\"abc", {"x", "ab"}},
        SplitCase{"UnterminatedAfterDoubledQuote", "\"a\"\"bc", {"a\"b"}},
        SplitCase{"LoneOpeningQuote", "\"", {""}},
        SplitCase{"HighBytesArePlain", "\xe9\xff,\x80", {"\xe9\xff", "\x80"}},
        SplitCase{"NulInsideQuotesKept", "\"a\0b\",c"s, {"a\0b"s, "c"}},
        SplitCase{"NulSeparatesLikeBlank", "a\0b"s, {"a", "b"}},
        SplitCase{"NulOnlyIsEmpty", "\0\0"s, {}},
        SplitCase{"NulAfterComma", "a,\0"s, {"a"}},
        SplitCase{"NulBeforeComma", "a\0,b"s, {"a", "b"}}),
    [](const testing::TestParamInfo<SplitCase>& info) { return info.param.name; });

struct JoinCase {
  const char* name;
  Fields fields;
  std::string text;
};

class JoinTest : public testing::TestWithParam<JoinCase> {};

TEST_P(JoinTest, QuotesWhatMustBeQuoted) {
  EXPECT_EQ(JoinCommaText(GetParam().fields), GetParam().text);
  EXPECT_EQ(SplitCommaText(GetParam().text), GetParam().fields);
}

INSTANTIATE_TEST_SUITE_P(
    CommaText, JoinTest,
    testing::Values(
        JoinCase{"Nothing", {}, ""},
        JoinCase{"PlainFields", {"MESSAGE", "17", "1"}, "MESSAGE,17,1"},
        JoinCase{"Blank", {"a b"}, "\"a b\""},
        JoinCase{"Comma", {"a,b", "c"}, "\"a,b\",c"},
        JoinCase{"Quote", {"say \"hi\""}, "\"say \"\"hi\"\"\""},
        JoinCase{"ControlCharacter", {"a\rb"}, "\"a\rb\""},
        JoinCase{"Nul", {"a\0b"s}, "\"a\0b\""s},
        JoinCase{"EmptyFieldsStayPlain", {"", "a", ""}, ",a,"},
        JoinCase{"SingleEmptyFieldQuoted", {""}, "\"\""},
        JoinCase{"HighBytesPlain", {"\xe9t\xe9"}, "\xe9t\xe9"}),
    [](const testing::TestParamInfo<JoinCase>& info) { return info.param.name; });

// Bytes chosen so that the awkward ones (quotes, commas, blanks, controls, NUL) are common.
std::string RandomField(std::mt19937& random) {
  static const std::string awkward = "\",  \t\r\n\v\x01\x1f\0\x7f\xff"s;
  std::uniform_int_distribution<int> length(0, 12);
  std::uniform_int_distribution<int> pick(0, 3);
  std::uniform_int_distribution<int> anyByte(0, 255);
  std::uniform_int_distribution<size_t> awkwardIndex(0, awkward.size() - 1);
  std::string field;
  for (int n = length(random); n > 0; --n) {
    field += pick(random) == 0 ? awkward[awkwardIndex(random)] : static_cast<char>(anyByte(random));
  }
  return field;
}

TEST(CommaTextRoundTrip, JoinedFieldsSplitBackUnchanged) {
  std::mt19937 random(20261209);
  std::uniform_int_distribution<int> count(0, 7);
  for (int i = 0; i < 5000; ++i) {
    Fields fields;
    for (int n = count(random); n > 0; --n) fields.push_back(RandomField(random));
    const std::string text = JoinCommaText(fields);
    ASSERT_EQ(SplitCommaText(text), fields) << "case " << i << ", joined text: " << text;
  }
}

TEST(CommaTextRoundTrip, QuoteCommaFieldIsOneField) {
  for (const std::string& field : {"plain"s, "a b"s, ""s, "\"\""s, ",,"s, "\0"s}) {
    const std::string quoted = QuoteCommaField(field);
    EXPECT_EQ(SplitCommaText(quoted + ",x"), (Fields{field, "x"})) << quoted;
  }
}

} // namespace
} // namespace voxmit

namespace voxmit {
namespace {

struct IntCase {
  const char* name;
  const char* field;
  bool ok;
  int32_t value;  // what value holds afterwards; it starts at 42
};

class CommaFieldToIntTest : public ::testing::TestWithParam<IntCase> {};

TEST_P(CommaFieldToIntTest, ReadsWholeDecimalIntegersOnly) {
  int32_t value = 42;
  EXPECT_EQ(CommaFieldToInt(GetParam().field, value), GetParam().ok);
  EXPECT_EQ(value, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, CommaFieldToIntTest,
    ::testing::Values(IntCase{"Plain", "160", true, 160},
                      IntCase{"BlanksAround", " \t80 ", true, 80},
                      IntCase{"Plus", "+5", true, 5},
                      IntCase{"Minus", "-5", true, -5},
                      IntCase{"PlusMinus", "+-5", false, 42},
                      IntCase{"Letters", "12a", false, 42},
                      IntCase{"Fraction", "1.5", false, 42},
                      IntCase{"Overflow", "99999999999", false, 42},
                      IntCase{"Empty", "", false, 42},
                      IntCase{"SignOnly", "+", false, 42}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace voxmit
