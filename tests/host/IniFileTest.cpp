#include "host/IniFile.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/TempHome.h"

namespace voxmit {
namespace {

using test::TempHome;

TEST(IniFile, MissingFileReadsDefaultsAndUpdateCreatesIt) {
  TempHome home;
  TIniFile ini(home.File("Settings.ini"));
  EXPECT_FALSE(ini.SectionExists("Log"));
  EXPECT_EQ(ini.ReadString("Log", "Folder", "def"), "def");
  EXPECT_EQ(ini.ReadInteger("Log", "Count", 7), 7);
  EXPECT_TRUE(ini.ReadBool("Log", "On", true));
  EXPECT_FALSE(std::filesystem::exists(home.File("Settings.ini")));

  ini.WriteInteger("Log", "Count", 3);
  ini.UpdateFile();
  EXPECT_EQ(home.Read("Settings.ini"), "[Log]\nCount=3\n");
  EXPECT_FALSE(std::filesystem::exists(home.File("Settings.ini.tmp")));
}

TEST(IniFile, SectionAndKeyMatchIgnoringCaseFirstMatchWins) {
  TempHome home;
  home.Write("a.ini",
             "[Log]\r\n"
             "Folder = /var/log \r\n"
             "FOLDER=second\r\n"
             "[ log ]\r\n"
             "Other=x\r\n");
  TIniFile ini(home.File("a.ini"));
  EXPECT_EQ(ini.ReadString("LOG", "folder", "def"), "/var/log");
  // The second [log] header is a section of its own that lookups never reach.
  EXPECT_EQ(ini.ReadString("log", "Other", "def"), "def");
  EXPECT_TRUE(ini.ValueExists("Log", "FoLdEr"));
}

TEST(IniFile, OnlyAPairOfDoubleQuotesIsRemoved) {
  TempHome home;
  home.Write("a.ini",
             "[S]\n"
             "Pair=\"  spaced text \"\n"
             "Inner=\"say \"hi\"\"\n"
             "Open=\"half\n"
             "Single='x'\n"
             "Empty=\"\"\n");
  TIniFile ini(home.File("a.ini"));
  EXPECT_EQ(ini.ReadString("S", "Pair", "def"), "  spaced text ");
  EXPECT_EQ(ini.ReadString("S", "Inner", "def"), "say \"hi\"");
  EXPECT_EQ(ini.ReadString("S", "Open", "def"), "\"half");
  EXPECT_EQ(ini.ReadString("S", "Single", "def"), "'x'");
  EXPECT_EQ(ini.ReadString("S", "Empty", "def"), "");
}

struct TIntegerCase {
  const char* Name;
  const char* Text;
  int32_t Expected;
};

class IniFileInteger : public ::testing::TestWithParam<TIntegerCase> {};

TEST_P(IniFileInteger, ReadsOrFallsBackToDefault) {
  TempHome home;
  home.Write("a.ini", std::string("[S]\nK=") + GetParam().Text + "\n");
  TIniFile ini(home.File("a.ini"));
  EXPECT_EQ(ini.ReadInteger("S", "K", -77), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniFileInteger,
    ::testing::Values(TIntegerCase{"Decimal", "215", 215}, TIntegerCase{"Negative", "-5", -5},
                      TIntegerCase{"HexZeroX", "0x10", 16}, TIntegerCase{"HexDollar", "$10", 16},
                      TIntegerCase{"HexUpper", "0XfF", 255}, TIntegerCase{"Blanks", "  42  ", 42},
                      TIntegerCase{"Quoted", "\"12\"", 12},
                      TIntegerCase{"Letters", "abc", -77},
                      TIntegerCase{"TrailingLetters", "12abc", -77},
                      TIntegerCase{"Empty", "", -77}, TIntegerCase{"HexPrefixOnly", "0x", -77},
                      TIntegerCase{"Float", "1.5", -77},
                      TIntegerCase{"Max32", "2147483647", 2147483647},
                      TIntegerCase{"Over32", "2147483648", -77},
                      TIntegerCase{"Huge", "99999999999999999999999", -77},
                      TIntegerCase{"DoubleSign", "--3", -77}),
    [](const auto& info) { return info.param.Name; });

TEST(IniFile, BoolIsAnIntegerAndFloatAndTimeFallBack) {
  TempHome home;
  home.Write("a.ini",
             "[S]\nOne=1\nZero=0\nTwo=2\nWord=true\n"
             "F=1.25\nE=1e3\nBadF=1,5\nNan=nan\nSigns=+-1\n"
             "T=12:30:15\nTShort=7:05\nTBad=25:00\n");
  TIniFile ini(home.File("a.ini"));
  EXPECT_TRUE(ini.ReadBool("S", "One", false));
  EXPECT_FALSE(ini.ReadBool("S", "Zero", true));
  EXPECT_TRUE(ini.ReadBool("S", "Two", false));
  // Not an integer: the default, whichever it is.
  EXPECT_FALSE(ini.ReadBool("S", "Word", false));
  EXPECT_TRUE(ini.ReadBool("S", "Word", true));

  EXPECT_DOUBLE_EQ(ini.ReadFloat("S", "F", 0), 1.25);
  EXPECT_DOUBLE_EQ(ini.ReadFloat("S", "E", 0), 1000);
  EXPECT_DOUBLE_EQ(ini.ReadFloat("S", "BadF", 9), 9);
  EXPECT_DOUBLE_EQ(ini.ReadFloat("S", "Nan", 9), 9);
  EXPECT_DOUBLE_EQ(ini.ReadFloat("S", "Signs", 9), 9);

  EXPECT_NEAR(ini.ReadTime("S", "T", {}).Days, (12 * 3600 + 30 * 60 + 15) / 86400.0, 1e-9);
  EXPECT_NEAR(ini.ReadTime("S", "TShort", {}).Days, (7 * 3600 + 5 * 60) / 86400.0, 1e-9);
  EXPECT_EQ(ini.ReadTime("S", "TBad", TDateTime{0.5}).Days, 0.5);
}

TEST(IniFile, MalformedLinesNeverThrowAndAreKept) {
  TempHome home;
  const std::string text =
      "garbage before any section\n"
      "=no key\n"
      "[unterminated\n"
      "[Good]\n"
      "no equals sign\n"
      "; Key=commented\n"
      "Key=value\n"
      "\x01\xff\xfe binary=\x80\n"
      "[]\n"
      "Key=in empty section\n";
  home.Write("a.ini", text);
  std::unique_ptr<TIniFile> ini;
  ASSERT_NO_THROW(ini = std::make_unique<TIniFile>(home.File("a.ini")));
  EXPECT_EQ(ini->ReadString("Good", "Key", "def"), "value");
  EXPECT_EQ(ini->ReadString("Good", "; Key", "def"), "def");
  EXPECT_EQ(ini->ReadString("", "Key", "def"), "in empty section");
  ini->UpdateFile();
  EXPECT_EQ(home.Read("a.ini"), text);
}

TEST(IniFile, WritesKeepOtherLinesAndPlaceNewKeysInTheirSection) {
  TempHome home;
  home.Write("a.ini",
             "; operator notes\r\n"
             "[Log]\r\n"
             "LogToFile=0\r\n"
             "Unknown=kept\r\n"
             "\r\n"
             "[Other]\r\n"
             "; trailing comment\r\n");
  {
    TIniFile ini(home.File("a.ini"));
    ini.WriteBool("log", "LOGTOFILE", true);
    ini.WriteInteger("Log", "LogFilesNo", 3);
    ini.WriteString("New", "Folder", "\"/tmp/x\"");
    ini.WriteString("New", "Broken", "line1\r\nline2");
    ini.UpdateFile();
  }
  EXPECT_EQ(home.Read("a.ini"),
            "; operator notes\n"
            "[Log]\n"
            "LOGTOFILE=1\n"
            "Unknown=kept\n"
            "LogFilesNo=3\n"
            "\n"
            "[Other]\n"
            "; trailing comment\n"
            "\n"
            "[New]\n"
            "Folder=\"/tmp/x\"\n"
            "Broken=line1  line2\n");
  TIniFile again(home.File("a.ini"));
  EXPECT_TRUE(again.ReadBool("Log", "LogToFile", false));
  EXPECT_EQ(again.ReadString("New", "Folder", ""), "/tmp/x");
}

TEST(IniFile, FailedUpdateLeavesTheOldFile) {
  TempHome home;
  home.Write("a.ini", "[S]\nK=1\n");
  TIniFile ini(home.File("a.ini"));
  ini.WriteInteger("S", "K", 2);
  // A directory where the temporary file would go makes the write fail.
  std::filesystem::create_directory(home.File("a.ini.tmp"));
  std::filesystem::create_directory(home.File("a.ini.tmp") / "x");
  EXPECT_THROW(ini.UpdateFile(), std::system_error);
  EXPECT_EQ(home.Read("a.ini"), "[S]\nK=1\n");
}

TEST(IniFile, FormatsRoundTrip) {
  for (double v : {0.1, 1.0 / 3.0, -2.5e-7, 12345678.9})
    EXPECT_EQ(TIniFile::ParseFloat(TIniFile::FormatFloat(v)), v);
  EXPECT_EQ(TIniFile::FormatTime(TDateTime{(13 * 3600 + 4 * 60 + 5) / 86400.0}), "13:04:05");
  EXPECT_EQ(TIniFile::FormatTime(TDateTime{45000.75}), "18:00:00");
}

} // namespace
} // namespace voxmit
