// The SMTP carrier's pure pieces: carrier settings, the pager ID's mail fields, address lists
// and the AUTH line of an EHLO reply.

#include <gtest/gtest.h>

#include "carriers/ChannelSMTP.h"

namespace voxmit::test {
namespace {

using smtp::TMailAddress;

// ---- Carrier settings ---------------------------------------------------------------------------

TEST(SmtpSettings, FiveItemsTrimmedExceptTheAuthModeWhichIsANumber) {
  smtp::TCarrierSettingsSMTP s;
  ASSERT_EQ(smtp::ParseCarrierSettings(" mail.example.com , 2525,1,\" user \",\" pw \"", s),
            smtp::TSettingsCheck::Ok);
  EXPECT_EQ(s.Host, "mail.example.com");
  EXPECT_EQ(s.Port, "2525");
  EXPECT_EQ(s.AuthMode, 1);
  EXPECT_EQ(s.UserName, "user");
  EXPECT_EQ(s.Password, "pw");
}

struct SettingsCase {
  const char* name;
  std::string text;
  smtp::TSettingsCheck expected;
};

class SmtpSettingsRejected : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(SmtpSettingsRejected, LeavesTheFieldsAsTheyWere) {
  smtp::TCarrierSettingsSMTP s;
  s.Host = "device-host";
  s.AuthMode = 0;
  EXPECT_EQ(smtp::ParseCarrierSettings(GetParam().text, s), GetParam().expected);
  EXPECT_EQ(s.Host, "device-host");
  EXPECT_EQ(s.AuthMode, 0);
  EXPECT_TRUE(s.UserName.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SmtpSettingsRejected,
    ::testing::Values(
        SettingsCase{"FourItems", "h,25,1,user", smtp::TSettingsCheck::WrongItemCount},
        SettingsCase{"SixItems", "h,25,1,user,pw,x", smtp::TSettingsCheck::WrongItemCount},
        SettingsCase{"Empty", "", smtp::TSettingsCheck::WrongItemCount},
        SettingsCase{"AuthModeAWord", "h,25,login,user,pw", smtp::TSettingsCheck::AuthModeNotANumber},
        SettingsCase{"AuthModeEmpty", "h,25,,user,pw", smtp::TSettingsCheck::AuthModeNotANumber},
        SettingsCase{"AuthModeFraction", "h,25,1.5,user,pw", smtp::TSettingsCheck::AuthModeNotANumber}),
    [](const auto& info) { return info.param.name; });

TEST(SmtpSettings, OnlyAuthModeOneTurnsAuthenticationOff) {
  EXPECT_FALSE(smtp::UsesAuthLogin(1));
  for (int32_t mode : {0, 2, 7, -1}) EXPECT_TRUE(smtp::UsesAuthLogin(mode)) << mode;
}

// ---- Pager ID -----------------------------------------------------------------------------------

TEST(SmtpPagerID, FirstFourItemsUntrimmedAndTheRestIgnored) {
  smtp::TMailFields f;
  ASSERT_EQ(smtp::ParsePagerID("\"Gate <g@x.org>\",\" a@x.org; b@x.org\",,\"Disk full\",extra", f),
            smtp::TPagerIDCheck::Ok);
  EXPECT_EQ(f.From, "Gate <g@x.org>");
  EXPECT_EQ(f.To, " a@x.org; b@x.org");
  EXPECT_EQ(f.Cc, "");
  EXPECT_EQ(f.Subject, "Disk full");
}

TEST(SmtpPagerID, AnUnquotedSubjectLosesItsWordsAfterTheFirst) {
  smtp::TMailFields f;
  ASSERT_EQ(smtp::ParsePagerID("g@x.org,a@x.org,,Disk full", f), smtp::TPagerIDCheck::Ok);
  EXPECT_EQ(f.Subject, "Disk");
}

struct PagerIDCase {
  const char* name;
  std::string pagerID;
  smtp::TPagerIDCheck expected;
};

class SmtpPagerIDRefused : public ::testing::TestWithParam<PagerIDCase> {};

TEST_P(SmtpPagerIDRefused, Check) {
  smtp::TMailFields f;
  EXPECT_EQ(smtp::ParsePagerID(GetParam().pagerID, f), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    PagerIDs, SmtpPagerIDRefused,
    ::testing::Values(
        PagerIDCase{"ThreeItems", "g@x.org,a@x.org,c@x.org", smtp::TPagerIDCheck::TooFewItems},
        PagerIDCase{"Empty", "", smtp::TPagerIDCheck::TooFewItems},
        PagerIDCase{"LfInFrom", "\"g@x.org\nBcc: e@v.il\",a@x.org,,S", smtp::TPagerIDCheck::LineBreak},
        PagerIDCase{"CrLfInTo", "g@x.org,\"a@x.org\r\nBcc: e@v.il\",,S", smtp::TPagerIDCheck::LineBreak},
        PagerIDCase{"CrInCc", "g@x.org,a@x.org,\"c@x.org\rX: y\",S", smtp::TPagerIDCheck::LineBreak},
        PagerIDCase{"CrLfInSubject", "g@x.org,a@x.org,,\"Hi\r\nBcc: e@v.il\"", smtp::TPagerIDCheck::LineBreak}),
    [](const auto& info) { return info.param.name; });

TEST(SmtpPagerID, LineBreaksBeyondTheFourthItemDoNotMatter) {
  smtp::TMailFields f;
  EXPECT_EQ(smtp::ParsePagerID("g@x.org,a@x.org,,S,\"x\r\ny\"", f), smtp::TPagerIDCheck::Ok);
}

// ---- Address lists ------------------------------------------------------------------------------

struct AddressCase {
  const char* name;
  std::string list;
  std::vector<TMailAddress> expected;
};

class SmtpAddressList : public ::testing::TestWithParam<AddressCase> {};

TEST_P(SmtpAddressList, Parse) {
  EXPECT_EQ(smtp::ParseAddressList(GetParam().list), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, SmtpAddressList,
    ::testing::Values(
        AddressCase{"Bare", "a@x.org", {{"", "a@x.org"}}},
        AddressCase{"CommaAndSemicolon", " a@x.org, b@x.org ;c@x.org",
                    {{"", "a@x.org"}, {"", "b@x.org"}, {"", "c@x.org"}}},
        AddressCase{"DisplayName", "Bob Smith <bob@x.org>", {{"Bob Smith", "bob@x.org"}}},
        AddressCase{"QuotedNameWithComma", "\"Smith, Bob\" <bob@x.org>; a@x.org",
                    {{"Smith, Bob", "bob@x.org"}, {"", "a@x.org"}}},
        AddressCase{"EmptyEntriesSkipped", ",a@x.org,, ;", {{"", "a@x.org"}}},
        AddressCase{"Empty", "", {}}),
    [](const auto& info) { return info.param.name; });

TEST(SmtpAddressList, FormatQuotesNamesWithSpecials) {
  EXPECT_EQ(smtp::FormatAddressList({{"", "a@x.org"},
                                     {"Bob Smith", "bob@x.org"},
                                     {"Smith, Bob", "bs@x.org"},
                                     {"Al \"Big\" Jr.", "al@x.org"}}),
            "a@x.org, Bob Smith <bob@x.org>, \"Smith, Bob\" <bs@x.org>, "
            "\"Al \\\"Big\\\" Jr.\" <al@x.org>");
  EXPECT_EQ(smtp::FormatAddressList({}), "");
}

// ---- The AUTH line of an EHLO reply -------------------------------------------------------------

struct EhloCase {
  const char* name;
  std::string reply;
  bool offersLogin;
};

class SmtpEhloAuth : public ::testing::TestWithParam<EhloCase> {};

TEST_P(SmtpEhloAuth, OffersLogin) {
  EXPECT_EQ(smtp::OffersAuthLogin(GetParam().reply), GetParam().offersLogin);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, SmtpEhloAuth,
    ::testing::Values(
        EhloCase{"LoginAmongOthers", "250-mail.x.org\n250-SIZE 100\n250-AUTH PLAIN LOGIN\n250 HELP", true},
        EhloCase{"OldEqualsForm", "250-mail.x.org\n250 AUTH=LOGIN", true},
        EhloCase{"LowerCase", "250-mail.x.org\n250 auth login", true},
        EhloCase{"PlainOnly", "250-mail.x.org\n250 AUTH PLAIN CRAM-MD5", false},
        EhloCase{"NoAuthLine", "250-mail.x.org\n250 SIZE 100", false},
        EhloCase{"LoginOutsideAnAuthLine", "250-LOGIN.x.org greets you\n250 HELP", false},
        EhloCase{"HeloReply", "250 mail.x.org", false}),
    [](const auto& info) { return info.param.name; });

} // namespace
} // namespace voxmit::test
