#include "server/DeviceCommands.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>

#include <Poco/Data/Session.h>
#include <Poco/String.h>

#include "carriers/RegisterCarriers.h"
#include "channels/RegChannels.h"
#include "common/CommaText.h"
#include "devices/DeviceSettingsCheck.h"
#include "devices/Devices.h"
#include "host/LogFile.h"
#include "platform/HomeFolder.h"
#include "platform/SingleInstance.h"
#include "store/DbSession.h"
#include "store/DeviceTables.h"
#include "store/schema.h"

using namespace Poco::Data::Keywords;

namespace voxmit {

namespace {

constexpr int kExitRefused = 1;
constexpr int kExitBadInput = 2;
// Devices.Name and DeviceTypes.Name are Text(50).
constexpr size_t kMaxNameLength = 50;
// Device kinds are compared as 8-bit values.
constexpr int32_t kMaxTypeNo = 255;

const char* const kCommandsUsage =
    "\n"
    "Usage: VoxmitServer2 devices list [--home DIR]\n"
    "       VoxmitServer2 devices add --name NAME --kind KIND --settings TEXT [--home DIR]\n"
    "       VoxmitServer2 devices edit ID [--name NAME] [--kind KIND] [--settings TEXT]"
    " [--home DIR]\n"
    "       VoxmitServer2 devices remove ID [--home DIR]\n"
    "       VoxmitServer2 device-kinds list [--home DIR]\n"
    "       VoxmitServer2 device-kinds add --type-no N --name NAME [--home DIR]\n"
    "       VoxmitServer2 device-kinds remove TYPENO [--home DIR]\n"
    "       VoxmitServer2 carriers list [--home DIR]\n"
    "\n"
    "  KIND is a TypeNo or a kind's name (Modem, \"Direct serial line\", \"GSM modem\",\n"
    "  \"IP network\", or MODEM, DirectTAP, SMS, IPNetwork). TEXT is the device's settings:\n"
    "    modem            COMn,INIT,PREFIX,WAIT,ATTEMPTS,DELAY  COM1,ATQ0V1M1E0X4,9,true,3,1\n"
    "    direct line      COMn                                  COM2\n"
    "    GSM modem        COMn,BAUD,MODULE,MODE                 COM3,7,0,1\n"
    "    IP network       HOST,PORT,PROTOCOL                    mail.example.org,25,0\n"
    "  COMn is mapped to a device file by ComPorts.ini in the home folder ([Ports] COM1=/dev/ttyUSB0).\n";

// A refusal: its exit code and its one line.
struct ECommand {
  int Code;
  std::string Text;
};

[[noreturn]] void BadInput(const std::string& text) { throw ECommand{kExitBadInput, text}; }
[[noreturn]] void Refuse(const std::string& text) { throw ECommand{kExitRefused, text}; }

struct TArgs {
  std::string Group;
  std::string Action;
  std::vector<std::string> Positional;
  std::map<std::string, std::string> Options;  // "--name" -> value

  std::optional<std::string> Option(const std::string& name) const {
    const auto it = Options.find(name);
    if (it == Options.end()) return std::nullopt;
    return it->second;
  }
  std::string Required(const std::string& name) const {
    auto value = Option(name);
    if (!value) BadInput(Group + " " + Action + " needs " + name);
    return *value;
  }
};

TArgs ParseArgs(const std::vector<std::string>& args) {
  TArgs a;
  a.Group = args.at(0);
  static const std::vector<std::string> kValued = {"--home", "--name", "--kind", "--settings",
                                                   "--type-no"};
  // Options may stand anywhere; the first other word is the action.
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.rfind("--", 0) == 0) {
      std::string name = arg, value;
      const bool inlineValue = arg.find('=') != std::string::npos;
      if (inlineValue) {
        name = arg.substr(0, arg.find('='));
        value = arg.substr(arg.find('=') + 1);
      }
      if (std::find(kValued.begin(), kValued.end(), name) == kValued.end())
        BadInput("unknown option " + name);
      if (!inlineValue) {
        if (i + 1 >= args.size()) BadInput(name + " needs a value");
        value = args[++i];
      }
      if (a.Options.count(name)) BadInput(name + " is given twice");
      a.Options[name] = value;
    } else if (a.Action.empty()) {
      a.Action = arg;
    } else {
      a.Positional.push_back(arg);
    }
  }
  if (a.Action.empty()) BadInput(a.Group + " needs an action (list, add, edit, remove)");
  return a;
}

void ExpectPositional(const TArgs& a, size_t count, const char* what) {
  if (a.Positional.size() < count) BadInput(a.Group + " " + a.Action + " needs " + what);
  if (a.Positional.size() > count) BadInput("unexpected argument " + a.Positional[count]);
}

int32_t ParseNumber(const std::string& text, const char* what) {
  int32_t value = 0;
  if (!CommaFieldToInt(text, value)) BadInput(std::string(what) + " must be a number, not \"" + text + "\"");
  return value;
}

std::filesystem::path HomeOf(const TArgs& a) {
  std::filesystem::path home;
  if (auto dir = a.Option("--home")) home = *dir;
  else if (const char* env = std::getenv("VOXMIT_HOME"); env && *env) home = env;
  else home = ExecutableFolder();
  std::error_code ec;
  home = std::filesystem::absolute(home, ec);
  if (!std::filesystem::is_directory(home, ec))
    BadInput("the home folder \"" + home.string() + "\" does not exist");
  return home;
}

std::string CheckName(const std::string& raw) {
  const std::string name = Poco::trim(raw);
  if (name.empty()) BadInput("Error: Name field can't be empty !");
  if (name.size() > kMaxNameLength)
    BadInput("the name is longer than " + std::to_string(kMaxNameLength) + " characters");
  return name;
}

// Whether a server runs on this database: its lock is held and names this database, or names
// none (a server that does not say which database it uses may use this one).
bool ServerRunsOn(const std::filesystem::path& database) {
  const auto holder = TNSingleInstance::ProbeHolder();
  return holder && (holder->empty() || *holder == DatabaseLockText(database));
}

class TCommand {
public:
  TCommand(const TArgs& args, std::ostream& out)
      : args_(args), out_(out), database_(HomeOf(args) / kDatabaseFileName) {}

  int Run() {
    const std::string& g = args_.Group;
    const std::string& a = args_.Action;
    if (g == "devices" && a == "list") return ListDevices();
    if (g == "devices" && a == "add") return AddDevice();
    if (g == "devices" && a == "edit") return EditDevice();
    if (g == "devices" && a == "remove") return RemoveDevice();
    if (g == "device-kinds" && a == "list") return ListKinds();
    if (g == "device-kinds" && a == "add") return AddKind();
    if (g == "device-kinds" && a == "remove") return RemoveKind();
    if (g == "carriers" && a == "list") return ListCarriers();
    BadInput("unknown command: " + g + " " + a);
  }

private:
  Poco::Data::Session& Db() {
    if (!session_) {
      RefuseRootOnAnotherUsersDatabase();
      try {
        session_ = OpenDbSession(database_);
      } catch (const EDatabaseNotFound&) {
        Refuse("the database \"" + database_.string() +
               "\" does not exist (create it with --create-database)");
      } catch (const EStoreError& e) {
        Refuse(e.what());
      }
    }
    return *session_;
  }

  // Opening the database writes beside it (the write-ahead log and its index). Files that
  // root made there would lock the server's own user out of its database.
  void RefuseRootOnAnotherUsersDatabase() {
    struct stat st {};
    if (::geteuid() != 0 || ::stat(database_.c_str(), &st) != 0 || st.st_uid == 0) return;
    const struct passwd* owner = ::getpwuid(st.st_uid);
    const std::string user = owner ? owner->pw_name : std::to_string(st.st_uid);
    Refuse(database_.string() + " belongs to the user " + user +
           "; run the command as that user (sudo -u " + user + " ...)");
  }

  // Edits and removals are refused while a server runs on the database; additions are not.
  void RefuseWhileServerRuns(const char* what) {
    if (ServerRunsOn(database_))
      Refuse(std::string("a server is running on ") + database_.string() + "; stop it before " +
             what + " (it holds its devices until it stops)");
  }
  void NoteIfServerRuns() {
    if (ServerRunsOn(database_))
      out_ << "The running server takes this change at its next start.\n";
  }

  // KIND: a TypeNo of DeviceTypes, a DeviceTypes.Name or an editor's registration name.
  int32_t ResolveKind(const std::string& kind) {
    static const std::map<std::string, int32_t> kRegistrationNames = {
        {"modem", DK_MODEM}, {"directtap", DK_DIRECT_SERIAL}, {"sms", DK_GSM_MODEM},
        {"ipnetwork", DK_IP_NETWORK}};
    std::vector<int32_t> typeNos;
    int32_t number = 0;
    if (CommaFieldToInt(kind, number)) {
      Db() << "SELECT TypeNo FROM DeviceTypes WHERE TypeNo = ?", bind(number), into(typeNos), now;
    } else {
      Db() << "SELECT TypeNo FROM DeviceTypes WHERE Name = ? COLLATE NOCASE", bind(Poco::trim(kind)),
          into(typeNos), now;
      const auto alias = kRegistrationNames.find(Poco::toLower(Poco::trim(kind)));
      if (typeNos.empty() && alias != kRegistrationNames.end()) {
        Db() << "SELECT TypeNo FROM DeviceTypes WHERE TypeNo = ?", bind(alias->second),
            into(typeNos), now;
      }
    }
    if (typeNos.empty())
      BadInput("unknown device kind \"" + kind + "\" (see: device-kinds list)");
    return typeNos.front();
  }

  static std::string CheckedSettings(int32_t typeNo, const std::string& settings) {
    const TDeviceSettingsCheck check = CheckDeviceSettings(typeNo, settings);
    if (!check.Ok) BadInput(check.Reason);
    return check.Normalized;
  }

  int32_t DeviceID() {
    ExpectPositional(args_, 1, "a device ID");
    return ParseNumber(args_.Positional[0], "the device ID");
  }

  int ListDevices() {
    ExpectPositional(args_, 0, "");
    std::vector<int32_t> ids, typeNos;
    std::vector<std::string> kinds, names, settings;
    Db() << "SELECT d.ID, d.TypeNo, COALESCE(t.Name, '(no such kind)'), COALESCE(d.Name, ''), "
            "COALESCE(d.SettingsData, '') FROM Devices d LEFT JOIN DeviceTypes t "
            "ON d.TypeNo = t.TypeNo ORDER BY d.ID",
        into(ids), into(typeNos), into(kinds), into(names), into(settings), now;
    std::vector<std::vector<std::string>> rows{{"ID", "Kind", "Name", "Settings"}};
    for (size_t i = 0; i < ids.size(); ++i)
      rows.push_back({std::to_string(ids[i]), std::to_string(typeNos[i]) + " " + kinds[i],
                      names[i], settings[i]});
    PrintTable(rows);
    return 0;
  }

  int AddDevice() {
    ExpectPositional(args_, 0, "");
    const std::string name = CheckName(args_.Required("--name"));
    const int32_t typeNo = ResolveKind(args_.Required("--kind"));
    const std::string settings = CheckedSettings(typeNo, args_.Required("--settings"));
    Poco::Data::Session& db = Db();
    const int32_t id =
        RunWriteTransaction(db, [&](auto& db) { return InsertDevice(db, typeNo, settings, name); });
    out_ << "Added device " << id << " \"" << name << "\": " << settings << "\n";
    NoteIfServerRuns();
    return 0;
  }

  int EditDevice() {
    const int32_t id = DeviceID();
    const auto newName = args_.Option("--name");
    const auto newKind = args_.Option("--kind");
    const auto newSettings = args_.Option("--settings");
    if (!newName && !newKind && !newSettings)
      BadInput("devices edit needs --name, --kind or --settings");
    std::vector<int32_t> typeNos;
    std::vector<std::string> names, settings;
    Db() << "SELECT TypeNo, COALESCE(Name, ''), COALESCE(SettingsData, '') FROM Devices "
            "WHERE ID = ?",
        bind(id), into(typeNos), into(names), into(settings), now;
    if (typeNos.empty()) Refuse("there is no device " + std::to_string(id));
    const std::string name = newName ? CheckName(*newName) : names[0];
    const int32_t typeNo = newKind ? ResolveKind(*newKind) : typeNos[0];
    // The stored text is checked too when the kind changes: it must suit the new kind.
    const std::string text =
        newSettings || newKind ? CheckedSettings(typeNo, newSettings.value_or(settings[0]))
                               : settings[0];
    RefuseWhileServerRuns("editing a device");
    Poco::Data::Session& db = Db();
    RunWriteTransaction(db, [&](auto& db) { UpdateDevice(db, id, typeNo, text, name); });
    out_ << "Changed device " << id << " \"" << name << "\": " << text << "\n";
    return 0;
  }

  int RemoveDevice() {
    const int32_t id = DeviceID();
    RefuseWhileServerRuns("removing a device");
    Poco::Data::Session& db = Db();
    const size_t removed = RunWriteTransaction(db, [&](auto& db) { return DeleteDevice(db, id); });
    if (removed == 0) Refuse("there is no device " + std::to_string(id));
    out_ << "Removed device " << id << "\n";
    return 0;
  }

  int ListKinds() {
    ExpectPositional(args_, 0, "");
    std::vector<int32_t> typeNos, counts;
    std::vector<std::string> names;
    Db() << "SELECT t.TypeNo, COALESCE(t.Name, ''), "
            "(SELECT COUNT(*) FROM Devices d WHERE d.TypeNo = t.TypeNo) "
            "FROM DeviceTypes t ORDER BY t.TypeNo",
        into(typeNos), into(names), into(counts), now;
    std::vector<std::vector<std::string>> rows{{"TypeNo", "Name", "Devices"}};
    for (size_t i = 0; i < typeNos.size(); ++i)
      rows.push_back({std::to_string(typeNos[i]), names[i], std::to_string(counts[i])});
    PrintTable(rows);
    return 0;
  }

  int AddKind() {
    ExpectPositional(args_, 0, "");
    const std::string typeNoText = args_.Required("--type-no");
    const int32_t typeNo = ParseNumber(typeNoText, "the TypeNo");
    if (typeNo < 1 || typeNo > kMaxTypeNo)
      BadInput("the TypeNo must be from 1 to " + std::to_string(kMaxTypeNo));
    const std::string name = CheckName(args_.Required("--name"));
    Poco::Data::Session& db = Db();
    // Checked and added in one write transaction, so no other writer slips in between.
    const std::string duplicate = RunWriteTransaction(db, [&](auto& db) -> std::string {
      if (DeviceKindNameExists(db, name))
        return "There already is DatabaseType named: \"" + name +
               "\". Please enter a different name.";
      if (DeviceKindNumberExists(db, typeNo))
        return "There already is DatabaseType with TypeNo=\"" + std::to_string(typeNo) +
               "\". Please enter a different TypeNo.";
      InsertDeviceKind(db, typeNo, name);
      return "";
    });
    if (!duplicate.empty()) BadInput(duplicate);
    out_ << "Added device kind " << typeNo << " \"" << name << "\"\n";
    NoteIfServerRuns();
    return 0;
  }

  int RemoveKind() {
    ExpectPositional(args_, 1, "a TypeNo");
    const int32_t typeNo = ParseNumber(args_.Positional[0], "the TypeNo");
    if (typeNo >= DK_MODEM && typeNo <= DK_IP_NETWORK)
      BadInput("device kinds 1 to 4 are the server's own and cannot be removed");
    RefuseWhileServerRuns("removing a device kind");
    Poco::Data::Session& db = Db();
    const std::string refusal = RunWriteTransaction(db, [&](auto& db) -> std::string {
      int32_t used = 0;
      db << "SELECT COUNT(*) FROM Devices WHERE TypeNo = ?", bind(typeNo), into(used), now;
      if (used > 0)
        return "device kind " + std::to_string(typeNo) + " is used by " + std::to_string(used) +
               " device(s); remove or edit them first";
      Poco::Data::Statement remove(db);
      remove << "DELETE FROM DeviceTypes WHERE TypeNo = ?", bind(typeNo);
      if (remove.execute() == 0) return "there is no device kind " + std::to_string(typeNo);
      return "";
    });
    if (!refusal.empty()) Refuse(refusal);
    out_ << "Removed device kind " << typeNo << "\n";
    return 0;
  }

  int ListCarriers() {
    ExpectPositional(args_, 0, "");
    // The class column names what the server would use for each carrier type.
    static const bool registered = (RegisterCarrierChannels(), true);
    (void)registered;
    std::vector<int32_t> ids, types, pending;
    std::vector<std::string> data, guids, times;
    Db() << "SELECT c.CarrierID, c.CarrierType, "
            "(SELECT COUNT(*) FROM Messages m WHERE m.CarrierID = c.CarrierID), "
            "COALESCE(c.IntroducedTime, ''), COALESCE(c.IntroducedByGUID, ''), "
            "COALESCE(c.CarrierData, '') FROM Carriers c ORDER BY c.CarrierID",
        into(ids), into(types), into(pending), into(times), into(guids), into(data), now;
    std::vector<std::vector<std::string>> rows{
        {"CarrierID", "Type", "Class", "Pending", "Introduced", "By", "Settings"}};
    for (size_t i = 0; i < ids.size(); ++i) {
      const auto cls = FindChannelClass(types[i]);
      rows.push_back({std::to_string(ids[i]), std::to_string(types[i]),
                      cls ? cls->ClassName() : "-", std::to_string(pending[i]), times[i],
                      guids[i], data[i]});
    }
    PrintTable(rows);
    return 0;
  }

  void PrintTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows)
      for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    for (const auto& row : rows) {
      std::string line;
      for (size_t c = 0; c < row.size(); ++c) {
        line += row[c];
        if (c + 1 < row.size()) line += std::string(widths[c] - row[c].size() + 2, ' ');
      }
      out_ << line << "\n";
    }
  }

  const TArgs& args_;
  std::ostream& out_;
  const std::filesystem::path database_;
  std::optional<Poco::Data::Session> session_;
};

} // namespace

const char* ManagementUsage() { return kCommandsUsage; }

bool IsManagementCommand(const std::string& word) {
  return word == "devices" || word == "device-kinds" || word == "carriers";
}

std::optional<int> RunManagementCommand(const std::vector<std::string>& args, std::ostream& out,
                                        std::ostream& err) {
  if (args.empty() || !IsManagementCommand(args[0])) return std::nullopt;
  try {
    const TArgs parsed = ParseArgs(args);
    return TCommand(parsed, out).Run();
  } catch (const ECommand& e) {
    err << "VoxmitServer2: " << e.Text << "\n";
    return e.Code;
  } catch (const std::exception& e) {
    err << "VoxmitServer2: " << ErrorText(e) << "\n";
    return kExitRefused;
  }
}

std::string DatabaseLockText(const std::filesystem::path& database) {
  std::error_code ec;
  std::filesystem::path path = std::filesystem::weakly_canonical(database, ec);
  if (ec) path = std::filesystem::absolute(database);
  return "database=" + path.string() + "\n";
}

} // namespace voxmit
