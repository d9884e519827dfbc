#pragma once
// A sectioned key=value file held in memory. Section and key names match without regard to
// case, the first match wins; a value read that is enclosed in a pair of double quotes comes
// back without them. Lines the file holds besides the keys written here (comments, unknown
// keys, blank lines) are kept as they were. Writes change only the memory copy; UpdateFile
// puts the whole file on disk at once (temporary file, then rename), so a crash leaves either
// the old or the new file.
//
// Typed reads return the given default when the key is missing or its text does not convert.
//
// Not thread-safe: one thread at a time (the options component uses it on the UI thread).

#include <compare>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace voxmit {

// A point in time as days since 1899-12-30; the fraction is the time of day.
struct TDateTime {
  double Days = 0;
  auto operator<=>(const TDateTime&) const = default;
};

class TIniFile {
public:
  // Reads the file; a missing file gives an empty one. Throws std::system_error when the
  // file exists but cannot be read, so that a later UpdateFile cannot wipe it out.
  explicit TIniFile(std::filesystem::path fileName);
  TIniFile(const TIniFile&) = delete;
  TIniFile& operator=(const TIniFile&) = delete;

  const std::filesystem::path& FileName() const { return fileName_; }

  bool SectionExists(const std::string& section) const;
  bool ValueExists(const std::string& section, const std::string& key) const;

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) const;
  // Decimal, or hexadecimal after "0x" or "$"; a value outside 32 bits gives the default.
  int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def) const;
  double ReadFloat(const std::string& section, const std::string& key, double def) const;
  // Read as an integer; non-zero is true.
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;
  // A time of day "h:mm", "h:mm:ss" or "h:mm:ss.zzz"; the result is the fraction of a day.
  TDateTime ReadTime(const std::string& section, const std::string& key, TDateTime def) const;

  // A line break inside a value would split the line; each is written as a blank.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int32_t value);
  void WriteFloat(const std::string& section, const std::string& key, double value);
  void WriteBool(const std::string& section, const std::string& key, bool value);
  void WriteTime(const std::string& section, const std::string& key, TDateTime value);

  // Writes the file to disk atomically. Throws std::system_error on failure (the old file
  // is then left untouched).
  void UpdateFile();

  // Text conversions shared with the options component.
  static std::optional<int64_t> ParseInteger(const std::string& text);
  static std::optional<double> ParseFloat(const std::string& text);
  static std::optional<TDateTime> ParseTime(const std::string& text);
  static std::string FormatFloat(double value);
  static std::string FormatTime(TDateTime value);

private:
  struct TLine {
    std::string Text;     // the line as read or written, without its line break
    bool IsSection = false;
    bool IsKey = false;
    std::string Name;     // section name or key, trimmed
    std::string Value;    // for a key: the value, trimmed, quotes still on
  };

  static TLine ParseLine(const std::string& text);
  // Index of the section's header line, or npos.
  size_t FindSection(const std::string& section) const;
  // End of the section that starts at header: the index of the next header or the line count.
  size_t SectionEnd(size_t header) const;
  size_t FindKey(const std::string& section, const std::string& key) const;
  std::optional<std::string> RawValue(const std::string& section, const std::string& key) const;

  std::filesystem::path fileName_;
  std::vector<TLine> lines_;
};

} // namespace voxmit
