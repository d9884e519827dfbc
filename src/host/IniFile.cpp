#include "host/IniFile.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <memory>
#include <system_error>

#include <Poco/String.h>
#include <unistd.h>

namespace voxmit {

namespace {

constexpr size_t npos = std::string::npos;

bool SameName(const std::string& a, const std::string& b) {
  return Poco::icompare(a, b) == 0;
}

std::string Unquoted(const std::string& value) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
    return value.substr(1, value.size() - 2);
  return value;
}

std::string OneLine(std::string value) {
  for (char& c : value)
    if (c == '\r' || c == '\n') c = ' ';
  return value;
}

struct TFileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using TFilePtr = std::unique_ptr<std::FILE, TFileCloser>;

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

TIniFile::TIniFile(std::filesystem::path fileName) : fileName_(std::move(fileName)) {
  std::ifstream in(fileName_, std::ios::binary);
  if (!in) {
    std::error_code ec;
    if (std::filesystem::exists(fileName_, ec))
      throw std::system_error(std::make_error_code(std::errc::permission_denied),
                              "cannot read " + fileName_.string());
    return;
  }
  std::string text;
  while (std::getline(in, text)) {
    if (!text.empty() && text.back() == '\r') text.pop_back();
    lines_.push_back(ParseLine(text));
  }
}

TIniFile::TLine TIniFile::ParseLine(const std::string& text) {
  TLine line;
  line.Text = text;
  const std::string trimmed = Poco::trim(text);
  if (trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '#') return line;
  if (trimmed[0] == '[') {
    const size_t close = trimmed.find(']');
    if (close != npos) {
      line.IsSection = true;
      line.Name = Poco::trim(trimmed.substr(1, close - 1));
    }
    return line;
  }
  const size_t eq = trimmed.find('=');
  if (eq == npos || eq == 0) return line;
  line.IsKey = true;
  line.Name = Poco::trim(trimmed.substr(0, eq));
  line.Value = Poco::trim(trimmed.substr(eq + 1));
  return line;
}

size_t TIniFile::FindSection(const std::string& section) const {
  const std::string name = Poco::trim(section);
  for (size_t i = 0; i < lines_.size(); ++i)
    if (lines_[i].IsSection && SameName(lines_[i].Name, name)) return i;
  return npos;
}

size_t TIniFile::SectionEnd(size_t header) const {
  size_t i = header + 1;
  while (i < lines_.size() && !lines_[i].IsSection) ++i;
  return i;
}

size_t TIniFile::FindKey(const std::string& section, const std::string& key) const {
  const size_t header = FindSection(section);
  if (header == npos) return npos;
  const std::string name = Poco::trim(key);
  const size_t end = SectionEnd(header);
  for (size_t i = header + 1; i < end; ++i)
    if (lines_[i].IsKey && SameName(lines_[i].Name, name)) return i;
  return npos;
}

std::optional<std::string> TIniFile::RawValue(const std::string& section,
                                              const std::string& key) const {
  const size_t i = FindKey(section, key);
  if (i == npos) return std::nullopt;
  return Unquoted(lines_[i].Value);
}

bool TIniFile::SectionExists(const std::string& section) const {
  return FindSection(section) != npos;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
  return FindKey(section, key) != npos;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
  return RawValue(section, key).value_or(def);
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key,
                              int32_t def) const {
  const auto text = RawValue(section, key);
  if (!text) return def;
  const auto value = ParseInteger(*text);
  if (!value || *value < std::numeric_limits<int32_t>::min() ||
      *value > std::numeric_limits<int32_t>::max())
    return def;
  return static_cast<int32_t>(*value);
}

double TIniFile::ReadFloat(const std::string& section, const std::string& key,
                           double def) const {
  const auto text = RawValue(section, key);
  if (!text) return def;
  return ParseFloat(*text).value_or(def);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

TDateTime TIniFile::ReadTime(const std::string& section, const std::string& key,
                             TDateTime def) const {
  const auto text = RawValue(section, key);
  if (!text) return def;
  return ParseTime(*text).value_or(def);
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
  const std::string keyName = Poco::trim(key);
  TLine line = ParseLine(keyName + "=" + OneLine(value));
  const size_t existing = FindKey(section, keyName);
  if (existing != npos) {
    lines_[existing] = std::move(line);
    return;
  }
  const size_t header = FindSection(section);
  if (header == npos) {
    if (!lines_.empty() && !Poco::trim(lines_.back().Text).empty())
      lines_.push_back(ParseLine(""));
    lines_.push_back(ParseLine("[" + Poco::trim(section) + "]"));
    lines_.push_back(std::move(line));
    return;
  }
  // After the section's last non-blank line, so a blank line before the next section stays.
  size_t at = SectionEnd(header);
  while (at > header + 1 && Poco::trim(lines_[at - 1].Text).empty()) --at;
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteFloat(const std::string& section, const std::string& key, double value) {
  WriteString(section, key, FormatFloat(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void TIniFile::WriteTime(const std::string& section, const std::string& key, TDateTime value) {
  WriteString(section, key, FormatTime(value));
}

void TIniFile::UpdateFile() {
  const std::filesystem::path temp = fileName_.string() + ".tmp";
  {
    TFilePtr out(std::fopen(temp.c_str(), "wb"));
    if (!out) ThrowErrno("cannot create " + temp.string());
    for (const TLine& line : lines_) {
      if (std::fputs(line.Text.c_str(), out.get()) == EOF || std::fputc('\n', out.get()) == EOF)
        ThrowErrno("cannot write " + temp.string());
    }
    if (std::fflush(out.get()) != 0 || ::fsync(::fileno(out.get())) != 0)
      ThrowErrno("cannot write " + temp.string());
  }
  std::error_code ec;
  std::filesystem::rename(temp, fileName_, ec);
  if (ec) {
    std::filesystem::remove(temp);
    throw std::system_error(ec, "cannot replace " + fileName_.string());
  }
}

std::optional<int64_t> TIniFile::ParseInteger(const std::string& text) {
  const std::string s = Poco::trim(text);
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  int base = 10;
  if (s.compare(i, 1, "$") == 0) {
    base = 16;
    i += 1;
  } else if (s.size() > i + 1 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= s.size() || s[i] == '-' || s[i] == '+') return std::nullopt;
  uint64_t magnitude = 0;
  const auto [end, ec] = std::from_chars(s.data() + i, s.data() + s.size(), magnitude, base);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  if (magnitude > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
  const auto value = static_cast<int64_t>(magnitude);
  return negative ? -value : value;
}

std::optional<double> TIniFile::ParseFloat(const std::string& text) {
  const std::string s = Poco::trim(text);
  size_t i = (!s.empty() && s[0] == '+') ? 1 : 0;
  if (i == 1 && s.compare(1, 1, "-") == 0) return std::nullopt;
  double value = 0;
  const auto [end, ec] = std::from_chars(s.data() + i, s.data() + s.size(), value);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size() || !std::isfinite(value))
    return std::nullopt;
  return value;
}

std::optional<TDateTime> TIniFile::ParseTime(const std::string& text) {
  const std::string s = Poco::trim(text);
  int parts[4] = {0, 0, 0, 0};
  int count = 0;
  const char* p = s.data();
  const char* end = s.data() + s.size();
  while (count < 4) {
    const auto [next, ec] = std::from_chars(p, end, parts[count]);
    if (ec != std::errc() || parts[count] < 0) return std::nullopt;
    ++count;
    p = next;
    if (p == end) break;
    const char sep = count < 3 ? ':' : '.';
    if (*p != sep || count == 4) return std::nullopt;
    ++p;
  }
  if (p != end || count < 2) return std::nullopt;
  const int h = parts[0], m = parts[1], sec = parts[2], ms = parts[3];
  if (h > 23 || m > 59 || sec > 59 || ms > 999) return std::nullopt;
  return TDateTime{((h * 60.0 + m) * 60.0 + sec + ms / 1000.0) / 86400.0};
}

std::string TIniFile::FormatFloat(double value) {
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  return ec == std::errc() ? std::string(buf, end) : std::string("0");
}

std::string TIniFile::FormatTime(TDateTime value) {
  double fraction = value.Days - std::floor(value.Days);
  long seconds = std::lround(fraction * 86400.0) % 86400;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02ld:%02ld:%02ld", seconds / 3600, seconds / 60 % 60,
                seconds % 60);
  return buf;
}

} // namespace voxmit
