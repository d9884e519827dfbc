#include "host/KioOptions.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "platform/OperatorUi.h"
#include "support/TempHome.h"

namespace voxmit {
namespace {

using test::TempHome;

// A component with one option of each kind, loaded from a fresh home folder.
class KioOptionsTest : public ::testing::Test {
protected:
  void SetUp() override {
    auto ui = std::make_unique<THeadlessOperatorUi>();
    ui_ = ui.get();
    SetOperatorUi(std::move(ui));
  }

  TNOption& Declare(const char* section, const char* name, TNOptionKind kind, TNVariant def) {
    TNOption& o = options_.Options().Add();
    EXPECT_TRUE(o.SetSectionName(section));
    EXPECT_TRUE(o.SetName(name));
    o.SetKind(kind);
    EXPECT_TRUE(o.SetDefaultValue(def));
    o.OnApplyChanges = [this](TNOption& sender) { applied_.push_back(sender.Name()); };
    return o;
  }

  void DeclareOneOfEach() {
    Declare("Main", "Text", okString, std::string("hello"));
    Declare("Main", "Port", okInteger, int64_t{215});
    Declare("Numbers", "Ratio", okFloat, 0.5);
    Declare("Main", "Flag", okBool, std::string("true"));
    Declare("Times", "At", okDateTime, TDateTime{0.25});
  }

  std::string Warning() const { return ui_->LastWarning(); }

  TempHome home_;
  THeadlessOperatorUi* ui_ = nullptr;
  TKioOptions options_;
  std::vector<std::string> applied_;
};

TEST_F(KioOptionsTest, MissingFileGivesDefaultsAndSaveCreatesIt) {
  DeclareOneOfEach();
  options_.LoadOptions();
  EXPECT_EQ(options_.OptionByName("Text").Value, TNVariant(std::string("hello")));
  EXPECT_EQ(options_.OptionByName("Port").Value, TNVariant(int64_t{215}));
  EXPECT_EQ(options_.OptionByName("Ratio").Value, TNVariant(0.5));
  EXPECT_EQ(options_.OptionByName("Flag").Value, TNVariant(true));
  EXPECT_EQ(options_.OptionByName("At").Value, TNVariant(TDateTime{0.25}));
  EXPECT_FALSE(options_.OptionsModified());
  EXPECT_FALSE(std::filesystem::exists(home_.File("Settings.ini")));

  options_.SaveOptions();
  EXPECT_EQ(home_.Read("Settings.ini"),
            "[Main]\nText=\"hello\"\nPort=215\nFlag=1\n\n"
            "[Numbers]\nRatio=0.5\n\n"
            "[Times]\nAt=06:00:00\n");
}

TEST_F(KioOptionsTest, ValuesRoundTripThroughTheFile) {
  DeclareOneOfEach();
  options_.LoadOptions();
  options_.OptionByName("Text").Value = std::string("  two \"words\" ");
  options_.OptionByName("Port").Value = std::string("300");  // as the dialog types it
  options_.OptionByName("Ratio").Value = 2.75;
  options_.OptionByName("Flag").Value = false;
  options_.OptionByName("At").Value = TDateTime{0.5};
  options_.SaveOptions();

  TKioOptions reloaded;
  for (int32_t i = 0; i < options_.Options().Count(); ++i) {
    const TNOption& src = options_.Options().Items(i);
    TNOption& o = reloaded.Options().Add();
    o.SetSectionName(src.SectionName());
    o.SetName(src.Name());
    o.SetKind(src.Kind());
    o.SetDefaultValue(src.DefaultValue());
  }
  reloaded.LoadOptions();
  EXPECT_EQ(reloaded.OptionByName("Text").Value, TNVariant(std::string("  two \"words\" ")));
  EXPECT_EQ(reloaded.OptionByName("Port").Value, TNVariant(int64_t{300}));
  EXPECT_EQ(reloaded.OptionByName("Ratio").Value, TNVariant(2.75));
  EXPECT_EQ(reloaded.OptionByName("Flag").Value, TNVariant(false));
  EXPECT_EQ(reloaded.OptionByName("At").Value, TNVariant(TDateTime{0.5}));
}

TEST_F(KioOptionsTest, StoredTextsConvertOrReadAsDefault) {
  home_.Write("Settings.ini",
              "[main]\nport=$10\nflag=0\ntext=plain\n"
              "[Numbers]\nRatio=abc\n[Times]\nAt=noon\n");
  DeclareOneOfEach();
  options_.LoadOptions();
  EXPECT_EQ(options_.OptionByName("Port").AsInteger(), 16);
  EXPECT_FALSE(options_.OptionByName("Flag").AsBool());
  EXPECT_EQ(options_.OptionByName("Text").AsString(), "plain");
  EXPECT_EQ(options_.OptionByName("Ratio").AsFloat(), 0.5);
  EXPECT_EQ(options_.OptionByName("At").AsDateTime(), TDateTime{0.25});

  home_.Write("Settings.ini", "[Main]\nPort=12ab\n");
  options_.LoadOptions();
  EXPECT_EQ(options_.OptionByName("Port").AsInteger(), 215);
}

TEST_F(KioOptionsTest, AValueThatDoesNotConvertIsSavedAsTheDefault) {
  DeclareOneOfEach();
  options_.LoadOptions();
  options_.OptionByName("Port").Value = std::string("many");
  EXPECT_EQ(options_.OptionByName("Port").AsInteger(), 215);
  options_.SaveOptions();
  EXPECT_NE(home_.Read("Settings.ini").find("Port=215\n"), std::string::npos);
  EXPECT_EQ(options_.OptionByName("Port").Value, TNVariant(int64_t{215}));
  EXPECT_FALSE(options_.OptionsModified());
}

TEST_F(KioOptionsTest, OptionByNameTrimsMatchesCaseAndNamesTheMissingOne) {
  DeclareOneOfEach();
  EXPECT_EQ(options_.OptionByName("  Port ").Name(), "Port");
  try {
    options_.OptionByName("port");
    FAIL() << "no error raised";
  } catch (const EKioOptionsError& e) {
    EXPECT_STREQ(e.what(), "From TKioOptions.OptionByName() : There is no Option named: \"port\"");
  }
}

TEST_F(KioOptionsTest, ModifiedComparesValuesNotTypes) {
  DeclareOneOfEach();
  options_.LoadOptions();
  TNOption& port = options_.OptionByName("Port");
  port.Value = int64_t{216};
  EXPECT_TRUE(options_.OptionsModified());
  port.Value = int64_t{215};
  EXPECT_FALSE(options_.OptionsModified());
  port.Value = std::string("215");  // retyped as text
  EXPECT_FALSE(options_.OptionsModified());
  port.Value = std::string(" 215x");
  EXPECT_TRUE(options_.OptionsModified());

  options_.CancelChanges();
  EXPECT_EQ(port.Value, TNVariant(int64_t{215}));
  options_.OptionByName("Flag").Value = std::string("1");
  options_.OptionByName("Text").Value = std::string("hello");
  EXPECT_FALSE(options_.OptionsModified());
}

TEST_F(KioOptionsTest, ApplyAllValuesRunsEveryHandlerApplyAllChangesOnlyChangedOnesAndSaves) {
  DeclareOneOfEach();
  TNOption& noHandler = Declare("Main", "Quiet", okInteger, int64_t{1});
  noHandler.OnApplyChanges = nullptr;
  options_.LoadOptions();

  options_.ApplyAllValues();
  EXPECT_EQ(applied_, (std::vector<std::string>{"Text", "Port", "Ratio", "Flag", "At"}));

  applied_.clear();
  options_.OptionByName("Ratio").Value = 1.5;
  options_.OptionByName("Port").Value = std::string("215");  // same value: not applied
  noHandler.Value = int64_t{2};
  options_.ApplyAllChanges();
  EXPECT_EQ(applied_, std::vector<std::string>{"Ratio"});
  EXPECT_FALSE(options_.OptionsModified());
  EXPECT_NE(home_.Read("Settings.ini").find("Ratio=1.5\n"), std::string::npos);
  EXPECT_NE(home_.Read("Settings.ini").find("Quiet=2\n"), std::string::npos);
}

TEST_F(KioOptionsTest, RejectedPropertiesWarnAndKeepTheOldValue) {
  TNOption& first = Declare("Main", "First", okInteger, int64_t{1});
  TNOption& second = Declare("Main", "Second", okInteger, int64_t{2});

  EXPECT_FALSE(options_.SetFileName("   "));
  EXPECT_EQ(Warning(), "Error: FileName can't be empty !!!");
  EXPECT_EQ(options_.FileName(), "Settings.ini");

  EXPECT_FALSE(second.SetName(" "));
  EXPECT_EQ(Warning(), "Error: Option Name can't be empty !!!");
  EXPECT_FALSE(second.SetName(" First "));
  EXPECT_EQ(Warning(), "There is already an option named: \"First\". Please use another name!");
  // Keys match ignoring case in the file, so names that differ only in case clash too.
  EXPECT_FALSE(second.SetName("FIRST"));
  EXPECT_EQ(second.Name(), "Second");
  EXPECT_TRUE(first.SetName("First"));  // its own name is no clash

  EXPECT_FALSE(second.SetSectionName(""));
  EXPECT_EQ(Warning(), "Error: SectionName can't be empty !!!");
  EXPECT_EQ(second.SectionName(), "Main");

  EXPECT_FALSE(second.SetDefaultValue(std::string("2")));
  EXPECT_EQ(Warning(), "Wrong DefaultValue type. Please correct it.");
  EXPECT_EQ(second.DefaultValue(), TNVariant(int64_t{2}));
}

TEST_F(KioOptionsTest, DefaultTypesAcceptedPerKind) {
  struct TCase {
    TNOptionKind Kind;
    TNVariant Value;
    bool Accepted;
  };
  const TCase cases[] = {
      {okString, std::string("x"), true},  {okString, int64_t{1}, false},
      {okFloat, 1.5, true},                {okFloat, int64_t{1}, false},
      {okInteger, int64_t{1}, true},       {okInteger, 1.5, false},
      {okInteger, true, false},            {okDateTime, TDateTime{1}, true},
      {okDateTime, 1.0, false},            {okBool, true, true},
      {okBool, std::string("true"), true}, {okBool, int64_t{1}, false},
      {okString, TNVariant{}, true},       {okInteger, TNVariant{}, true},
  };
  for (const TCase& c : cases)
    EXPECT_EQ(TNOption::DefaultSuitsKind(c.Value, c.Kind), c.Accepted)
        << "kind " << c.Kind << " value " << VarToString(c.Value);
}

TEST_F(KioOptionsTest, NewItemsAreNamedAfterTheirIndex) {
  TNOption& a = options_.Options().Add();
  EXPECT_EQ(a.Name(), "Option0");
  EXPECT_EQ(a.SectionName(), "DefaultSection");
  a.SetName("Option1");
  TNOption& b = options_.Options().Add();
  EXPECT_EQ(b.Name(), "Option2");
}

TEST(VarSame, ConvertsBetweenTypes) {
  struct TCase {
    TNVariant A, B;
    bool Same;
  };
  const TCase cases[] = {
      {int64_t{215}, std::string("215"), true},
      {std::string("0x10"), int64_t{16}, true},
      {int64_t{215}, std::string("216"), false},
      {int64_t{1}, 1.0, true},
      {1.5, std::string("1.5"), true},
      {true, std::string("1"), true},
      {true, std::string("True"), true},
      {false, int64_t{0}, true},
      {true, int64_t{0}, false},
      {std::string("a"), std::string("A"), false},
      {std::string("abc"), int64_t{0}, false},
      {TNVariant{}, std::string(""), true},
      {TNVariant{}, int64_t{0}, false},
      {TDateTime{0.5}, std::string("12:00:00"), true},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(VarSame(c.A, c.B), c.Same) << VarToString(c.A) << " vs " << VarToString(c.B);
    EXPECT_EQ(VarSame(c.B, c.A), c.Same) << VarToString(c.B) << " vs " << VarToString(c.A);
  }
}

} // namespace
} // namespace voxmit
