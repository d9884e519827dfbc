#include "automation/ServiceFile.h"

#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <stdexcept>
#include <unistd.h>

#include <Poco/String.h>

#include "automation/AutomationIds.h"

namespace voxmit {

namespace {

// Single quotes keep everything as it is; a single quote itself ends, escapes and reopens.
std::string Quote(const std::string& item) {
  std::string out = "'";
  for (char c : item) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

std::string CurrentUserName() {
  if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_name) return pw->pw_name;
  return std::to_string(::geteuid());
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  const std::filesystem::path temp = path.string() + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path.string());
  }
  std::filesystem::rename(temp, path, ec);
  if (ec) {
    std::filesystem::remove(temp, ec);
    throw std::runtime_error("cannot write " + path.string());
  }
}

} // namespace

TLocalServerSwitch ParseLocalServerSwitch(const std::string& arg) {
  std::string name;
  if (arg.rfind("--", 0) == 0) name = arg.substr(2);
  else if (!arg.empty() && (arg[0] == '-' || arg[0] == '/')) name = arg.substr(1);
  else return TLocalServerSwitch::None;
  name = Poco::toLower(name);
  if (name == "regserver") return TLocalServerSwitch::RegServer;
  if (name == "unregserver") return TLocalServerSwitch::UnregServer;
  if (name == "embedding" || name == "automation") return TLocalServerSwitch::Embedding;
  return TLocalServerSwitch::None;
}

TServiceFiles ServiceFilePaths(bool systemBus) {
  const std::string file = std::string(kAutomationBusName) + ".service";
  if (systemBus) {
    return {std::filesystem::path("/usr/local/share/dbus-1/system-services") / file,
            std::filesystem::path("/etc/dbus-1/system.d") /
                (std::string(kAutomationBusName) + ".conf")};
  }
  std::filesystem::path data;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) data = xdg;
  else if (const char* home = std::getenv("HOME"); home && *home)
    data = std::filesystem::path(home) / ".local/share";
  else throw std::runtime_error("neither XDG_DATA_HOME nor HOME is set");
  return {data / "dbus-1/services" / file, {}};
}

std::string ServiceExecLine(const std::filesystem::path& program,
                            const std::filesystem::path& home, bool systemBus) {
  std::string line = Quote(program.string()) + " --headless --quiet --embedding --home " +
                     Quote(home.string());
  if (systemBus) line += " --system-bus";
  return line;
}

std::string ServiceFileText(const std::string& execLine, const std::string& user) {
  std::string text = "[D-BUS Service]\nName=" + std::string(kAutomationBusName) +
                     "\nExec=" + execLine + "\n";
  if (!user.empty()) text += "User=" + user + "\n";
  return text;
}

std::string PolicyFileText(const std::string& user) {
  const std::string name = kAutomationBusName;
  return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig>\n"
         "  <policy user=\"" + user + "\">\n"
         "    <allow own=\"" + name + "\"/>\n"
         "  </policy>\n"
         "  <policy context=\"default\">\n"
         "    <allow send_destination=\"" + name + "\"/>\n"
         "  </policy>\n"
         "</busconfig>\n";
}

std::vector<std::filesystem::path> RegisterServer(const std::filesystem::path& program,
                                                  const std::filesystem::path& home,
                                                  bool systemBus) {
  const TServiceFiles files = ServiceFilePaths(systemBus);
  const std::string user = systemBus ? CurrentUserName() : std::string();
  std::vector<std::filesystem::path> written;
  if (systemBus) {
    WriteFile(files.Policy, PolicyFileText(user));
    written.push_back(files.Policy);
  }
  WriteFile(files.Service, ServiceFileText(ServiceExecLine(program, home, systemBus), user));
  written.push_back(files.Service);
  return written;
}

std::vector<std::filesystem::path> UnregisterServer(bool systemBus) {
  const TServiceFiles files = ServiceFilePaths(systemBus);
  std::vector<std::filesystem::path> removed;
  for (const auto& path : {files.Service, files.Policy}) {
    if (path.empty()) continue;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) continue;
    if (!std::filesystem::remove(path, ec) || ec)
      throw std::runtime_error("cannot remove " + path.string());
    removed.push_back(path);
  }
  return removed;
}

} // namespace voxmit
