#include "AutoStartEntry.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <system_error>

namespace voxmit {

namespace fs = std::filesystem;

fs::path AutoStartFile() {
  fs::path config;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
    config = xdg;
  else if (const char* home = std::getenv("HOME"); home && *home)
    config = fs::path(home) / ".config";
  else
    config = ".config";
  return config / "autostart" / "VoxmitServer2.desktop";
}

bool AutoStartEntryExists() {
  std::error_code ec;
  const fs::path file = AutoStartFile();
  return fs::is_regular_file(file, ec) && fs::file_size(file, ec) > 0 && !ec;
}

std::string QuoteExecArgument(const std::string& argument) {
  // Inside double quotes the Exec line escapes " ` $ and \ with a backslash; the value as a
  // whole is a string of the entry format, where a backslash is written twice.
  std::string quoted = "\"";
  for (char c : argument) {
    if (c == '"' || c == '`' || c == '$') {
      quoted += "\\\\";
      quoted += c;
    } else if (c == '\\') {
      quoted += "\\\\\\\\";
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

void WriteAutoStartEntry(const fs::path& executable, const fs::path& home) {
  const fs::path file = AutoStartFile();
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  if (ec) throw std::system_error(ec, "Cannot create " + file.parent_path().string());
  const fs::path temp = file.string() + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << "[Desktop Entry]\n"
        << "Type=Application\n"
        << "Name=VoxmitServer2\n"
        << "Comment=Paging and messaging gateway server\n"
        << "Exec=" << QuoteExecArgument(executable.string()) << " --home "
        << QuoteExecArgument(home.string()) << "\n"
        << "Terminal=false\n"
        << "X-GNOME-Autostart-enabled=true\n";
    out.flush();
    if (!out) throw std::system_error(errno ? errno : EIO, std::generic_category(),
                                      "Cannot write " + temp.string());
  }
  fs::rename(temp, file, ec);
  if (ec) throw std::system_error(ec, "Cannot write " + file.string());
}

void RemoveAutoStartEntry() {
  std::error_code ec;
  fs::remove(AutoStartFile(), ec);
  if (ec) throw std::system_error(ec, "Cannot remove " + AutoStartFile().string());
}

} // namespace voxmit
