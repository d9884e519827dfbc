#include "common/CommaText.h"

#include <charconv>

namespace voxmit {

namespace {

constexpr char Quote = '"';
constexpr char Separator = ',';

// Blanks and control characters, NUL included: they end unquoted fields and are skipped
// between fields.
bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

void SkipBlanks(std::string_view text, size_t& pos) {
  while (pos < text.size() && IsBlank(text[pos])) ++pos;
}

// pos is at the opening quote; leaves pos after the closing quote or at the end.
std::string ReadQuotedField(std::string_view text, size_t& pos) {
  std::string field;
  ++pos;
  while (pos < text.size()) {
    if (text[pos] != Quote) {
      field += text[pos++];
    } else if (pos + 1 < text.size() && text[pos + 1] == Quote) {
      field += Quote;
      pos += 2;
    } else {
      ++pos;
      return field;
    }
  }
  // Unterminated: the scan ran to the end; the last character is not part of the field.
  if (!field.empty()) field.pop_back();
  return field;
}

std::string ReadPlainField(std::string_view text, size_t& pos) {
  const size_t start = pos;
  while (pos < text.size() && text[pos] != Separator && !IsBlank(text[pos])) ++pos;
  return std::string(text.substr(start, pos - start));
}

bool NeedsQuotes(std::string_view field) {
  for (char c : field) {
    if (IsBlank(c) || c == Separator || c == Quote) return true;
  }
  return false;
}

} // namespace

std::vector<std::string> SplitCommaText(std::string_view text) {
  std::vector<std::string> fields;
  size_t pos = 0;
  SkipBlanks(text, pos);
  while (pos < text.size()) {
    if (text[pos] == Quote) {
      fields.push_back(ReadQuotedField(text, pos));
    } else {
      fields.push_back(ReadPlainField(text, pos));
    }
    SkipBlanks(text, pos);
    if (pos < text.size() && text[pos] == Separator) {
      if (pos + 1 == text.size()) fields.emplace_back();
      ++pos;
      SkipBlanks(text, pos);
    }
  }
  return fields;
}

std::string QuoteCommaField(std::string_view field) {
  if (!NeedsQuotes(field)) return std::string(field);
  std::string quoted;
  quoted.reserve(field.size() + 2);
  quoted += Quote;
  for (char c : field) {
    if (c == Quote) quoted += Quote;
    quoted += c;
  }
  quoted += Quote;
  return quoted;
}

std::string JoinCommaText(const std::vector<std::string>& fields) {
  if (fields.size() == 1 && fields.front().empty()) return std::string(2, Quote);
  std::string text;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) text += Separator;
    text += QuoteCommaField(fields[i]);
  }
  return text;
}

bool CommaFieldToInt(std::string_view field, int32_t& value) {
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  while (!field.empty() && blank(field.front())) field.remove_prefix(1);
  while (!field.empty() && blank(field.back())) field.remove_suffix(1);
  const char* first = field.data();
  const char* last = field.data() + field.size();
  if (first != last && *first == '+') {
    ++first;
    if (first != last && *first == '-') return false;
  }
  int32_t parsed = 0;
  const auto [end, ec] = std::from_chars(first, last, parsed);
  if (first == last || ec != std::errc() || end != last) return false;
  value = parsed;
  return true;
}

} // namespace voxmit
