#pragma once
// The local server's switches and its registration with the bus: --regserver writes the D-Bus
// service file that lets the bus start the server on demand (and, for the system bus, the
// policy file that lets the server own its name and clients call it); --unregserver removes
// them. A start by the bus carries --embedding. Pure functions but the two that write files.

#include <filesystem>
#include <string>
#include <vector>

namespace voxmit {

enum class TLocalServerSwitch { None, RegServer, UnregServer, Embedding };

// "regserver", "unregserver", "embedding" and "automation" with "--", "-" or "/" in front,
// any letter case; None for anything else.
TLocalServerSwitch ParseLocalServerSwitch(const std::string& arg);

struct TServiceFiles {
  std::filesystem::path Service;
  std::filesystem::path Policy;  // empty for the session bus
};

// Where the files go: the session bus reads $XDG_DATA_HOME/dbus-1/services (default
// ~/.local/share), the system bus /usr/local/share/dbus-1/system-services and its policy
// from /etc/dbus-1/system.d.
TServiceFiles ServiceFilePaths(bool systemBus);

// The command line the bus runs: the program, --headless --quiet --embedding, the home
// folder, and --system-bus when so. Each item quoted for the service file's shell-like
// parser.
std::string ServiceExecLine(const std::filesystem::path& program,
                            const std::filesystem::path& home, bool systemBus);
// The service file's text; user is the account the system bus starts the server as (empty
// for the session bus).
std::string ServiceFileText(const std::string& execLine, const std::string& user);
// The system bus policy: user may own the name, everyone may call it.
std::string PolicyFileText(const std::string& user);

// Writes the files; returns their paths. Throws std::runtime_error naming the file that
// could not be written.
std::vector<std::filesystem::path> RegisterServer(const std::filesystem::path& program,
                                                  const std::filesystem::path& home,
                                                  bool systemBus);
// Removes the files that exist; returns the paths removed. Throws std::runtime_error when
// one exists but cannot be removed.
std::vector<std::filesystem::path> UnregisterServer(bool systemBus);

} // namespace voxmit
