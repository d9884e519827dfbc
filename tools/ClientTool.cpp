#include "tools/ClientTool.h"

#include <Poco/Exception.h>
#include <Poco/NumberParser.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>

#include "tools/ClientProtocol.h"

namespace voxmit::client {
namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

constexpr auto ReadSlice = 200ms;
constexpr const char* Description = "voxmit-client";

const char* const Usage =
    "usage: voxmit-client [--host H] [--port P] [--guid G] [--wait SECONDS] [--id N]\n"
    "                     send CARRIERTYPE SETTINGS PAGERID TEXT\n"
    "       voxmit-client [--host H] [--port P] [--guid G] [--wait SECONDS] listen\n"
    "--wait: how long send waits for the result (default 60), or how long listen runs\n"
    "exit codes: 0 sent, 1 send error, 2 usage or connection error, 3 time-out\n";

struct TToolOptions {
  std::string Host = "127.0.0.1";
  int Port = 215;
  std::string Guid;
  std::optional<double> WaitSeconds;
  int RecordId = 1;
  int CarrierType = 0;
  std::vector<std::string> Words; // the command and its arguments
};

class TUsageError : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

int ParseInt(const std::string& option, const std::string& value, int low, int high) {
  int n = 0;
  if (!Poco::NumberParser::tryParse(value, n) || n < low || n > high)
    throw TUsageError(option + " needs a number from " + std::to_string(low) + " to " +
                      std::to_string(high) + ", not \"" + value + "\"");
  return n;
}

TToolOptions ParseArgs(const std::vector<std::string>& args) {
  TToolOptions options;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      options.Words.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (i + 1 >= args.size()) throw TUsageError(arg + " needs a value");
    const std::string& value = args[++i];
    if (arg == "--host") {
      options.Host = value;
    } else if (arg == "--port") {
      options.Port = ParseInt(arg, value, 1, 65535);
    } else if (arg == "--guid") {
      options.Guid = value;
    } else if (arg == "--id") {
      options.RecordId = ParseInt(arg, value, INT32_MIN, INT32_MAX);
    } else if (arg == "--wait") {
      double seconds = 0;
      if (!Poco::NumberParser::tryParseFloat(value, seconds) || !(seconds > 0))
        throw TUsageError("--wait needs a positive number of seconds, not \"" + value + "\"");
      options.WaitSeconds = seconds;
    } else {
      throw TUsageError("unknown option " + arg);
    }
  }
  if (options.Words.empty()) throw TUsageError("no command given");
  const std::string& command = options.Words.front();
  if (command == "send" && options.Words.size() != 5)
    throw TUsageError("send needs CARRIERTYPE SETTINGS PAGERID TEXT");
  if (command == "listen" && options.Words.size() != 1)
    throw TUsageError("listen takes no arguments");
  if (command != "send" && command != "listen") throw TUsageError("unknown command " + command);
  if (command == "send")
    options.CarrierType = ParseInt("CARRIERTYPE", options.Words[1], INT32_MIN, INT32_MAX);
  if (options.Guid.empty()) options.Guid = NewClientGuid();
  return options;
}

void PrintReply(std::ostream& out, const TReply& reply) {
  out << reply.Keyword;
  if (!reply.Data.empty()) out << ' ' << reply.Data;
  out << '\n' << std::flush;
}

bool IsFor(const TReply& reply, int recordId, std::size_t minFields) {
  return reply.Fields.size() >= minFields && reply.Fields[0] == std::to_string(recordId);
}

// One run of the tool over one connection: reads replies in slices until an outcome.
class TToolRun {
public:
  TToolRun(const TToolOptions& options, std::ostream& out, std::ostream& err,
           const std::atomic<bool>& stop)
      : options_(options), out_(out), err_(err), stop_(stop) {}

  int Execute() {
    try {
      connection_ = std::make_unique<TClientConnection>(
          options_.Host, static_cast<std::uint16_t>(options_.Port));
      out_ << "GUID " << options_.Guid << '\n' << std::flush;
      connection_->Logon(options_.Guid, Description);
      return ReadUntilOutcome();
    } catch (const Poco::Exception& e) {
      err_ << "voxmit-client: " << options_.Host << ':' << options_.Port << ": "
           << e.displayText() << '\n';
      return tecUsage;
    }
  }

private:
  int ReadUntilOutcome() {
    const bool listening = options_.Words.front() == "listen";
    const auto deadline =
        options_.WaitSeconds
            ? TClock::now() + std::chrono::duration_cast<TClock::duration>(
                                  std::chrono::duration<double>(*options_.WaitSeconds))
            : (listening ? TClock::time_point::max() : TClock::now() + 60s);
    while (!stop_) {
      if (TClock::now() >= deadline) break;
      const auto reply = connection_->ReadReply(ReadSlice);
      if (!reply) {
        if (connection_->PeerClosed()) {
          err_ << "voxmit-client: the server closed the connection\n";
          return tecUsage;
        }
        continue;
      }
      PrintReply(out_, *reply);
      if (const auto outcome = listening ? ListenOutcome(*reply) : SendOutcome(*reply))
        return *outcome;
    }
    if (listening) return tecSent;
    err_ << "voxmit-client: no send result for record " << options_.RecordId << '\n';
    return tecTimeOut;
  }

  std::optional<int> ListenOutcome(const TReply& reply) {
    if (reply.Keyword == "LOGON_DENIED") return tecUsage;
    return std::nullopt;
  }

  // Results of earlier runs with the same GUID and record ID may arrive first; only those
  // after this message's acceptance (for a sent one: with its server record ID) end the run.
  std::optional<int> SendOutcome(const TReply& reply) {
    const int id = options_.RecordId;
    if (reply.Keyword == "LOGON_DENIED") return tecUsage;
    if (reply.Keyword == "LOGON_OK" && !submitted_) {
      submitted_ = true;
      connection_->SendMessage(id, options_.CarrierType, options_.Words[2], options_.Words[3],
                               options_.Words[4]);
    } else if (reply.Keyword == "MESSAGE_ACCEPTED" && submitted_ && !serverId_ &&
               IsFor(reply, id, 2)) {
      serverId_ = reply.Fields[1];
    } else if (reply.Keyword == "MESSAGE_ACCEPT_ERROR" && submitted_ && IsFor(reply, id, 1)) {
      return tecSendError;
    } else if (reply.Keyword == "MESSAGE_SENT" && serverId_ && IsFor(reply, id, 2) &&
               reply.Fields[1] == *serverId_) {
      return tecSent;
    } else if (reply.Keyword == "MESSAGE_SEND_ERROR" && serverId_ && IsFor(reply, id, 1)) {
      return tecSendError;
    }
    return std::nullopt;
  }

  const TToolOptions& options_;
  std::ostream& out_;
  std::ostream& err_;
  const std::atomic<bool>& stop_;
  std::unique_ptr<TClientConnection> connection_;
  bool submitted_ = false;
  std::optional<std::string> serverId_;
};

} // namespace

int RunClientTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                  const std::atomic<bool>& stop) {
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    out << Usage;
    return tecSent;
  }
  TToolOptions options;
  try {
    options = ParseArgs(args);
  } catch (const TUsageError& e) {
    err << "voxmit-client: " << e.what() << '\n' << Usage;
    return tecUsage;
  }
  return TToolRun(options, out, err, stop).Execute();
}

} // namespace voxmit::client
