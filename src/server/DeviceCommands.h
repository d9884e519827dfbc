#pragma once
// The management commands: devices, device kinds and carriers from the command line, for
// servers without a desktop. They work on the home folder's database directly:
//
//   devices list | add --name N --kind K --settings S | edit ID [--name N] [--kind K]
//           [--settings S] | remove ID
//   device-kinds list | add --type-no N --name N | remove TYPENO
//   carriers list
//
// each with [--home DIR] (else $VOXMIT_HOME, else the program's folder). Settings are checked
// as the device editors check them (DeviceSettingsCheck.h), kind names and numbers must be
// unique.
//
// A running server loads its devices only when it starts, and a channel may hold any device
// meanwhile. While a server runs on the database (its single-instance lock is held and names
// this database, or names none), a command that adds is allowed (the server takes the new row
// at its next start); one that edits or removes is refused.
//
// Exit codes: 0 done; 1 refused or failed (a server runs on the database, no such row, a kind
// still in use, the database missing or failing); 2 a bad command line or value. Every refusal
// is one line on the error stream and changes nothing.
//
// Threads: the calling thread only; nothing here starts a thread.

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace voxmit {

// Whether word (the first argument) names a management command.
bool IsManagementCommand(const std::string& word);

// Runs the command in args (the program's arguments without the program name); nothing when
// args do not start with a management command.
std::optional<int> RunManagementCommand(const std::vector<std::string>& args, std::ostream& out,
                                        std::ostream& err);

// The commands' part of --help.
const char* ManagementUsage();

// What a running server writes into its single-instance lock file: the database it uses.
std::string DatabaseLockText(const std::filesystem::path& database);

} // namespace voxmit
