#pragma once
// Declared INI options. A TKioOptions component holds a collection of TNOption items, each
// naming its section, key, kind, default and an optional apply handler; it loads them from
// and saves them to one file in the home folder, and applies them through the handlers.
//
// Threads: the UI thread only (loading, applying, saving, the options dialog). No locks.
// Ownership: the component owns its collection and its INI file object; the collection owns
// its items. Item references stay valid for the component's life (items are never removed).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "host/IniFile.h"

namespace voxmit {

enum TNOptionKind : int32_t { okString = 0, okFloat = 1, okInteger = 2, okDateTime = 3, okBool = 4 };

// The value of an option: empty, text, floating-point, integer, boolean or date-time.
using TNVariant = std::variant<std::monostate, std::string, double, int64_t, bool, TDateTime>;

// Conversions between variant types; nullopt where the value does not convert.
std::optional<int64_t> VarToInteger(const TNVariant& v);
std::optional<double> VarToFloat(const TNVariant& v);
std::optional<bool> VarToBool(const TNVariant& v);
std::optional<TDateTime> VarToDateTime(const TNVariant& v);
std::string VarToString(const TNVariant& v);
bool VarIsEmpty(const TNVariant& v);
// Same value, converting between types: 215 and "215" are the same, so are true and "1".
bool VarSame(const TNVariant& a, const TNVariant& b);

// A programming error: asking for an option that is not declared.
class EKioOptionsError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class TNOptions;
class TKioOptions;

class TNOption {
public:
  using TOnApplyChangesEvent = std::function<void(TNOption& sender)>;

  TNOption(TNOptions& collection, int32_t index);
  TNOption(const TNOption&) = delete;
  TNOption& operator=(const TNOption&) = delete;

  int32_t Index() const { return index_; }

  // Setters check their value; a rejected value is shown to the operator as a warning and
  // the property keeps its old value. They return whether the value was taken.
  const std::string& SectionName() const { return sectionName_; }
  bool SetSectionName(const std::string& name);
  const std::string& Name() const { return name_; }
  bool SetName(const std::string& name);
  // The default is checked against the kind when it is set: set the kind first.
  TNOptionKind Kind() const { return kind_; }
  void SetKind(TNOptionKind kind) { kind_ = kind; }
  const TNVariant& DefaultValue() const { return defaultValue_; }
  bool SetDefaultValue(const TNVariant& value);
  static bool DefaultSuitsKind(const TNVariant& value, TNOptionKind kind);

  TOnApplyChangesEvent OnApplyChanges;
  TNVariant Value;       // the current value; what every reader uses
  TNVariant SavedValue;  // the value last read from or written to the file

  // Value converted to the kind; when it does not convert, the default converted to the kind.
  std::string AsString() const;
  double AsFloat() const;
  int32_t AsInteger() const;
  TDateTime AsDateTime() const;
  bool AsBool() const;

  bool Modified() const { return !VarSame(Value, SavedValue); }
  void ApplyValue();    // runs the handler if assigned
  void ApplyChanges();  // runs the handler if assigned and Value differs from SavedValue

  // Used by the component: read Value from the file, write it, then SavedValue = Value.
  void Read(const TIniFile& ini);
  void Write(TIniFile& ini);

private:
  std::string DefaultString() const;
  double DefaultFloat() const;
  int32_t DefaultInteger() const;
  TDateTime DefaultDateTime() const;
  bool DefaultBool() const;

  TNOptions& collection_;
  int32_t index_;
  std::string sectionName_ = "DefaultSection";
  std::string name_;
  TNOptionKind kind_ = okString;
  TNVariant defaultValue_;
};

class TNOptions {
public:
  explicit TNOptions(TKioOptions& owner) : owner_(owner) {}
  TNOptions(const TNOptions&) = delete;
  TNOptions& operator=(const TNOptions&) = delete;

  // Adds an item named "Option<index>" (the next free number if that name is taken).
  TNOption& Add();
  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  TNOption& Items(int32_t index) { return *items_.at(static_cast<size_t>(index)); }
  const TNOption& Items(int32_t index) const { return *items_.at(static_cast<size_t>(index)); }
  // The first item named name (exact, case-sensitive), or nullptr.
  TNOption* Find(const std::string& name) const;
  // Another item than except whose name matches name ignoring case (two such keys would
  // share one line of the file), or nullptr.
  TNOption* FindClash(const std::string& name, const TNOption* except) const;

  TKioOptions& Owner() const { return owner_; }
  TIniFile* IniFile() const;

private:
  TKioOptions& owner_;
  std::vector<std::unique_ptr<TNOption>> items_;
};

class TKioOptions {
public:
  TKioOptions();
  TKioOptions(const TKioOptions&) = delete;
  TKioOptions& operator=(const TKioOptions&) = delete;

  // The file is always HomeFolder() / FileName.
  const std::string& FileName() const { return fileName_; }
  bool SetFileName(const std::string& name);

  TNOptions& Options() { return options_; }
  const TNOptions& Options() const { return options_; }
  TIniFile* IniFile() const { return iniFile_.get(); }

  // Creates the INI file object and reads every item.
  void LoadOptions();
  // Writes every item and flushes the file to disk (creating the INI object if needed).
  // Throws std::system_error when the file cannot be written.
  void SaveOptions();
  // Throws EKioOptionsError "From TKioOptions.OptionByName() : There is no Option named: "%s"".
  TNOption& OptionByName(const std::string& name) const;
  void ApplyAllValues();
  // Applies the changed items, then saves.
  void ApplyAllChanges();
  void CancelChanges();
  bool OptionsModified() const;

private:
  std::string fileName_ = "Settings.ini";
  TNOptions options_;
  std::unique_ptr<TIniFile> iniFile_;
};

} // namespace voxmit
