#include "host/KioOptions.h"

#include <cmath>
#include <limits>

#include <Poco/String.h>

#include "platform/HomeFolder.h"
#include "platform/OperatorUi.h"

namespace voxmit {

namespace {

template <class... Ts>
struct TOverloaded : Ts... {
  using Ts::operator()...;
};

std::optional<int32_t> ToInt32(std::optional<int64_t> v) {
  if (!v || *v < std::numeric_limits<int32_t>::min() || *v > std::numeric_limits<int32_t>::max())
    return std::nullopt;
  return static_cast<int32_t>(*v);
}

bool IsNumber(const TNVariant& v) {
  return std::holds_alternative<int64_t>(v) || std::holds_alternative<double>(v);
}

// a is a string, b is not.
bool SameAsText(const std::string& text, const TNVariant& b) {
  if (std::holds_alternative<std::monostate>(b)) return text.empty();
  if (std::holds_alternative<bool>(b)) return VarToBool(text) == std::get<bool>(b);
  if (std::holds_alternative<TDateTime>(b)) return VarToDateTime(text) == std::get<TDateTime>(b);
  if (const auto i = TIniFile::ParseInteger(text)) return static_cast<double>(*i) == VarToFloat(b);
  if (const auto d = TIniFile::ParseFloat(text)) return *d == VarToFloat(b);
  return text == VarToString(b);
}

} // namespace

// ---- variant conversions -------------------------------------------------------------------

bool VarIsEmpty(const TNVariant& v) { return std::holds_alternative<std::monostate>(v); }

std::optional<int64_t> VarToInteger(const TNVariant& v) {
  auto fromDouble = [](double d) -> std::optional<int64_t> {
    if (!std::isfinite(d) || std::fabs(d) >= 9.2e18) return std::nullopt;
    return std::llround(d);
  };
  return std::visit(
      TOverloaded{
          [](std::monostate) -> std::optional<int64_t> { return std::nullopt; },
          [&](const std::string& s) -> std::optional<int64_t> {
            if (auto i = TIniFile::ParseInteger(s)) return i;
            if (auto d = TIniFile::ParseFloat(s)) return fromDouble(*d);
            return std::nullopt;
          },
          [&](double d) { return fromDouble(d); },
          [](int64_t i) -> std::optional<int64_t> { return i; },
          [](bool b) -> std::optional<int64_t> { return b ? 1 : 0; },
          [](TDateTime) -> std::optional<int64_t> { return std::nullopt; },
      },
      v);
}

std::optional<double> VarToFloat(const TNVariant& v) {
  return std::visit(
      TOverloaded{
          [](std::monostate) -> std::optional<double> { return std::nullopt; },
          [](const std::string& s) { return TIniFile::ParseFloat(s); },
          [](double d) -> std::optional<double> { return d; },
          [](int64_t i) -> std::optional<double> { return static_cast<double>(i); },
          [](bool b) -> std::optional<double> { return b ? 1.0 : 0.0; },
          [](TDateTime t) -> std::optional<double> { return t.Days; },
      },
      v);
}

std::optional<bool> VarToBool(const TNVariant& v) {
  if (const auto* s = std::get_if<std::string>(&v)) {
    const std::string t = Poco::trim(*s);
    if (Poco::icompare(t, "true") == 0) return true;
    if (Poco::icompare(t, "false") == 0) return false;
  }
  if (const auto* b = std::get_if<bool>(&v)) return *b;
  if (std::holds_alternative<TDateTime>(v)) return std::nullopt;
  const auto d = VarToFloat(v);
  if (!d) return std::nullopt;
  return *d != 0;
}

std::optional<TDateTime> VarToDateTime(const TNVariant& v) {
  if (const auto* t = std::get_if<TDateTime>(&v)) return *t;
  if (const auto* s = std::get_if<std::string>(&v)) return TIniFile::ParseTime(*s);
  if (IsNumber(v)) return TDateTime{*VarToFloat(v)};
  return std::nullopt;
}

std::string VarToString(const TNVariant& v) {
  return std::visit(TOverloaded{
                        [](std::monostate) { return std::string(); },
                        [](const std::string& s) { return s; },
                        [](double d) { return TIniFile::FormatFloat(d); },
                        [](int64_t i) { return std::to_string(i); },
                        [](bool b) { return std::string(b ? "True" : "False"); },
                        [](TDateTime t) { return TIniFile::FormatTime(t); },
                    },
                    v);
}

bool VarSame(const TNVariant& a, const TNVariant& b) {
  if (a.index() == b.index()) return a == b;
  if (const auto* s = std::get_if<std::string>(&a)) return SameAsText(*s, b);
  if (const auto* s = std::get_if<std::string>(&b)) return SameAsText(*s, a);
  if (VarIsEmpty(a) || VarIsEmpty(b)) return false;
  if (std::holds_alternative<bool>(a) || std::holds_alternative<bool>(b))
    return VarToBool(a) == VarToBool(b);
  return VarToFloat(a) == VarToFloat(b);
}

// ---- TNOption ------------------------------------------------------------------------------

TNOption::TNOption(TNOptions& collection, int32_t index) : collection_(collection), index_(index) {}

bool TNOption::SetSectionName(const std::string& name) {
  const std::string trimmed = Poco::trim(name);
  if (trimmed.empty()) {
    OperatorUi().ShowWarning("Error: SectionName can't be empty !!!");
    return false;
  }
  sectionName_ = trimmed;
  return true;
}

bool TNOption::SetName(const std::string& name) {
  const std::string trimmed = Poco::trim(name);
  if (trimmed.empty()) {
    OperatorUi().ShowWarning("Error: Option Name can't be empty !!!");
    return false;
  }
  if (collection_.FindClash(trimmed, this)) {
    OperatorUi().ShowWarning("There is already an option named: \"" + trimmed +
                             "\". Please use another name!");
    return false;
  }
  name_ = trimmed;
  return true;
}

bool TNOption::DefaultSuitsKind(const TNVariant& value, TNOptionKind kind) {
  if (VarIsEmpty(value)) return true;
  switch (kind) {
    case okString: return std::holds_alternative<std::string>(value);
    case okFloat: return std::holds_alternative<double>(value);
    case okInteger: return std::holds_alternative<int64_t>(value);
    case okDateTime: return std::holds_alternative<TDateTime>(value);
    case okBool:
      return std::holds_alternative<bool>(value) || std::holds_alternative<std::string>(value);
  }
  return false;
}

bool TNOption::SetDefaultValue(const TNVariant& value) {
  if (!DefaultSuitsKind(value, kind_)) {
    OperatorUi().ShowWarning("Wrong DefaultValue type. Please correct it.");
    return false;
  }
  defaultValue_ = value;
  return true;
}

std::string TNOption::DefaultString() const { return VarToString(defaultValue_); }
double TNOption::DefaultFloat() const { return VarToFloat(defaultValue_).value_or(0.0); }
int32_t TNOption::DefaultInteger() const {
  return ToInt32(VarToInteger(defaultValue_)).value_or(0);
}
TDateTime TNOption::DefaultDateTime() const {
  return VarToDateTime(defaultValue_).value_or(TDateTime{});
}
bool TNOption::DefaultBool() const { return VarToBool(defaultValue_).value_or(false); }

std::string TNOption::AsString() const {
  return VarIsEmpty(Value) ? DefaultString() : VarToString(Value);
}
double TNOption::AsFloat() const { return VarToFloat(Value).value_or(DefaultFloat()); }
int32_t TNOption::AsInteger() const {
  return ToInt32(VarToInteger(Value)).value_or(DefaultInteger());
}
TDateTime TNOption::AsDateTime() const {
  return VarToDateTime(Value).value_or(DefaultDateTime());
}
bool TNOption::AsBool() const { return VarToBool(Value).value_or(DefaultBool()); }

void TNOption::ApplyValue() {
  if (OnApplyChanges) OnApplyChanges(*this);
}

void TNOption::ApplyChanges() {
  if (Modified()) ApplyValue();
}

void TNOption::Read(const TIniFile& ini) {
  switch (kind_) {
    case okString: Value = ini.ReadString(sectionName_, name_, DefaultString()); break;
    case okFloat: Value = ini.ReadFloat(sectionName_, name_, DefaultFloat()); break;
    case okInteger:
      Value = int64_t{ini.ReadInteger(sectionName_, name_, DefaultInteger())};
      break;
    case okDateTime: Value = ini.ReadTime(sectionName_, name_, DefaultDateTime()); break;
    case okBool: Value = ini.ReadBool(sectionName_, name_, DefaultBool()); break;
  }
  SavedValue = Value;
}

void TNOption::Write(TIniFile& ini) {
  // Value takes the form written, so Value, SavedValue and the file agree afterwards.
  switch (kind_) {
    case okString:
      Value = AsString();
      ini.WriteString(sectionName_, name_, "\"" + AsString() + "\"");
      break;
    case okFloat:
      Value = AsFloat();
      ini.WriteFloat(sectionName_, name_, AsFloat());
      break;
    case okInteger:
      Value = int64_t{AsInteger()};
      ini.WriteInteger(sectionName_, name_, AsInteger());
      break;
    case okDateTime:
      Value = AsDateTime();
      ini.WriteTime(sectionName_, name_, AsDateTime());
      break;
    case okBool:
      Value = AsBool();
      ini.WriteBool(sectionName_, name_, AsBool());
      break;
  }
  SavedValue = Value;
}

// ---- TNOptions -----------------------------------------------------------------------------

TNOption& TNOptions::Add() {
  const int32_t index = Count();
  auto item = std::make_unique<TNOption>(*this, index);
  int32_t number = index;
  while (FindClash("Option" + std::to_string(number), nullptr)) ++number;
  item->SetName("Option" + std::to_string(number));
  items_.push_back(std::move(item));
  return *items_.back();
}

TNOption* TNOptions::Find(const std::string& name) const {
  for (const auto& item : items_)
    if (item->Name() == name) return item.get();
  return nullptr;
}

TNOption* TNOptions::FindClash(const std::string& name, const TNOption* except) const {
  for (const auto& item : items_)
    if (item.get() != except && Poco::icompare(item->Name(), name) == 0) return item.get();
  return nullptr;
}

TIniFile* TNOptions::IniFile() const { return owner_.IniFile(); }

// ---- TKioOptions ---------------------------------------------------------------------------

TKioOptions::TKioOptions() : options_(*this) {}

bool TKioOptions::SetFileName(const std::string& name) {
  const std::string trimmed = Poco::trim(name);
  if (trimmed.empty()) {
    OperatorUi().ShowWarning("Error: FileName can't be empty !!!");
    return false;
  }
  fileName_ = trimmed;
  return true;
}

void TKioOptions::LoadOptions() {
  iniFile_ = std::make_unique<TIniFile>(HomeFolder() / fileName_);
  for (int32_t i = 0; i < options_.Count(); ++i) options_.Items(i).Read(*iniFile_);
}

void TKioOptions::SaveOptions() {
  if (!iniFile_) iniFile_ = std::make_unique<TIniFile>(HomeFolder() / fileName_);
  for (int32_t i = 0; i < options_.Count(); ++i) options_.Items(i).Write(*iniFile_);
  iniFile_->UpdateFile();
}

TNOption& TKioOptions::OptionByName(const std::string& name) const {
  if (TNOption* item = options_.Find(Poco::trim(name))) return *item;
  throw EKioOptionsError("From TKioOptions.OptionByName() : There is no Option named: \"" + name +
                         "\"");
}

void TKioOptions::ApplyAllValues() {
  for (int32_t i = 0; i < options_.Count(); ++i) options_.Items(i).ApplyValue();
}

void TKioOptions::ApplyAllChanges() {
  for (int32_t i = 0; i < options_.Count(); ++i) options_.Items(i).ApplyChanges();
  SaveOptions();
}

void TKioOptions::CancelChanges() {
  for (int32_t i = 0; i < options_.Count(); ++i) options_.Items(i).Value = options_.Items(i).SavedValue;
}

bool TKioOptions::OptionsModified() const {
  for (int32_t i = 0; i < options_.Count(); ++i)
    if (options_.Items(i).Modified()) return true;
  return false;
}

} // namespace voxmit
