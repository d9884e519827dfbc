// sms-throughput: short messages per minute through one GSM SMS channel.
//
//   sms-throughput [--messages N] [--mode text|ucs2|pdu|pdu-ucs2] [--answer-ms MS]
//                  [--baud B] [--dtr-delay MS] [--timeout SECONDS]
//
// One TChannelSMS, run by its real worker thread, sends N messages (default 20, 120
// characters each) through the fake GSM modem on the far side of a pseudo-terminal. The modem
// answers every +CMGS as a real module does, after MS milliseconds (default 3000: the network's
// confirmation takes seconds); every other command is answered at once. Its answers are paced
// at B baud (default 115200, 10 bits per byte; 0 leaves them unpaced). All messages are queued
// before the channel takes its device; MaxMessagesPerConnectionSMS keeps its default (50), so
// a run of more messages also holds the disconnects and reconnects between connections, each
// with its DTR hang-up pause (DtrHangupDelay, default the server's 3000 ms; --dtr-delay sets it).
//
// The run is timed from the moment the channel may take its device until the last result is
// back. Printed: messages per minute, against the most the module allows (one per MS); the
// wall time per message, and what is left of it beyond the module's answer time: the modem
// dialogue of each message (mode commands, +CMGS and its prompt, the body), the hang-up pauses
// between connections and the gateway's own work.
// Exit code 0 when every message was reported sent and the modem decoded each one intact and
// in order, 1 otherwise, 2 on bad usage.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "carriers/ChannelSMS.h"
#include "channels/RegChannels.h"
#include "host/ServerSettings.h"
#include "support/FakeGsmModem.h"
#include "support/PtyPair.h"

namespace voxmit {
namespace {

using bench::TClock;
using namespace std::chrono_literals;

constexpr int kTextLength = 120;
constexpr const char* kPagerId = "+447700900123";

struct TOptions {
  int Messages = 20;
  std::string Mode = "text";
  int AnswerMs = 3000;
  int Baud = 115200;
  int DtrDelayMs = settings::DtrHangupDelay;  // the server's default
  int TimeoutSeconds = 0;  // 0: 60 s plus 5 s and the answer time per message
};

const char* const Usage =
    "usage: sms-throughput [--messages N] [--mode text|ucs2|pdu|pdu-ucs2] [--answer-ms MS]\n"
    "                      [--baud B (0: unpaced)] [--dtr-delay MS] [--timeout SECONDS]\n";

bool ParseOptions(int argc, char** argv, TOptions& options) {
  const bool read = bench::TArgReader()
                        .Int("--messages", options.Messages)
                        .Text("--mode", options.Mode)
                        .Int("--answer-ms", options.AnswerMs)
                        .Int("--baud", options.Baud)
                        .Int("--dtr-delay", options.DtrDelayMs)
                        .Int("--timeout", options.TimeoutSeconds)
                        .Read(argc, argv);
  const bool knownMode = options.Mode == "text" || options.Mode == "ucs2" ||
                         options.Mode == "pdu" || options.Mode == "pdu-ucs2";
  return read && knownMode && options.Messages > 0 && options.AnswerMs >= 0 &&
         options.Baud >= 0 && options.DtrDelayMs >= 0 && options.TimeoutSeconds >= 0;
}

// Message n's text: printable ASCII that every mode carries unchanged, kTextLength long or the
// most one UCS2 message holds.
std::string MessageText(int n, bool ucs2) {
  const int length = ucs2 ? sms::MaxUcs2Characters : kTextLength;
  std::string text = "Message " + std::to_string(n) + ": ";
  for (int i = 0; static_cast<int>(text.size()) < length; ++i)
    text += static_cast<char>('a' + i % 26);
  return text;
}

int Run(const TOptions& options) {
  const bool pdu = options.Mode == "pdu" || options.Mode == "pdu-ucs2";
  const bool ucs2 = options.Mode == "ucs2" || options.Mode == "pdu-ucs2";
  settings::DtrHangupDelay = options.DtrDelayMs;

  test::PtyPair pty;
  test::FakeGsmModem modem;
  modem.SetDefaultSendAnswer(
      {test::FakeSmsAnswer::Kind::Ok, 0, std::chrono::milliseconds(options.AnswerMs)});
  test::PtyLine line(pty, modem, options.Baud);
  line.Start();

  // Held until every message is queued, so that the run starts with a full queue.
  auto device = bench::MakeHeldDevice(
      TNDeviceRow{.ID = 1,
                  .TypeName = "GSM modem",
                  .SettingsData = pty.SlavePath() + ",8,0," + (pdu ? "1" : "0"),
                  .DeviceKind = DK_GSM_MODEM,
                  .Name = "Gsm1"});
  auto list = std::make_shared<TNChannelsList>();
  const auto cls = MakeChannelClass<TChannelSMS>("TChannelSMS");
  const std::string speed = std::to_string(options.Baud > 0 ? options.Baud : 115200);
  auto channel = cls->Create(list, CT_GSM_SMS, 1,
                             std::string("+4412,,160,") + speed + ",\"8,N,1\"," +
                                 (ucs2 ? "true" : "false"),
                             device);
  if (!channel) {
    std::fprintf(stderr, "the channel could not be created\n");
    return 1;
  }
  for (int n = 1; n <= options.Messages; ++n)
    channel->EnqueueMessage(n, kPagerId, MessageText(n, ucs2), 0);

  const auto timeout = std::chrono::seconds(
      options.TimeoutSeconds > 0 ? options.TimeoutSeconds
                                 : 60 + options.Messages * (5 + options.AnswerMs / 1000));
  std::vector<std::shared_ptr<TNBaseChannelMessage>> results;
  const auto start = TClock::now();
  device->FreeEvent.Set();
  while (static_cast<int>(results.size()) < options.Messages && TClock::now() - start < timeout) {
    while (auto part = channel->DequeueResult()) results.push_back(std::move(part));
    std::this_thread::sleep_for(1ms);
  }
  const double seconds = std::chrono::duration<double>(TClock::now() - start).count();
  const bool finished = static_cast<int>(results.size()) >= options.Messages;

  bench::CloseChannels({channel});
  line.Stop();

  bool ok = finished;
  if (!finished) bench::ReportTimeout(results.size(), options.Messages, seconds);
  ok = bench::AllSent(results, "message") && ok;
  const auto messages = modem.Messages();
  bool intact = static_cast<int>(messages.size()) == options.Messages;
  for (size_t i = 0; intact && i < messages.size(); ++i)
    intact = messages[i].destination == kPagerId &&
             messages[i].text == MessageText(static_cast<int>(i) + 1, ucs2);
  if (!intact) {
    std::fprintf(stderr, "the modem holds %zu messages, not the %d sent intact in order\n",
                 messages.size(), options.Messages);
    ok = false;
  }
  int connections = 0;
  for (const std::string& command : modem.Commands())
    if (command == "AT+CMEE=1") ++connections;

  const double n = options.Messages;
  const double wallMs = seconds * 1000.0 / n;
  std::printf("SMS throughput: %d messages of %zu characters, %s mode, the module answers each "
              "+CMGS after %d ms, ",
              options.Messages, MessageText(1, ucs2).size(), options.Mode.c_str(),
              options.AnswerMs);
  if (options.Baud > 0) std::printf("answers paced at %d baud\n", options.Baud);
  else std::printf("answers unpaced\n");
  std::printf("connections: %d (up to %d messages each)\n", connections,
              settings::MaxMessagesPerConnectionSMS.load());
  std::printf("elapsed: %.3f s, %.2f messages per minute", seconds,
              seconds > 0 ? n * 60.0 / seconds : 0.0);
  if (options.AnswerMs > 0)
    std::printf(" (the module alone allows %.2f)", 60000.0 / options.AnswerMs);
  std::printf("\n");
  // The hang-ups between connections fall within the run; the last one comes after it.
  const double dtrMs = std::max(0, connections - 1) * double(options.DtrDelayMs) / n;
  std::printf("per message: %.1f ms: the module's answer %d ms, DTR hang-up pauses %.1f ms, the "
              "dialogue and the gateway %.1f ms\n",
              wallMs, options.AnswerMs, dtrMs, wallMs - options.AnswerMs - dtrMs);
  return ok ? 0 : 1;
}

} // namespace
} // namespace voxmit

int main(int argc, char** argv) {
  voxmit::TOptions options;
  const bool parsed = voxmit::ParseOptions(argc, argv, options);
  return voxmit::bench::BenchMain("sms-throughput", voxmit::Usage, parsed,
                                  [&] { return voxmit::Run(options); });
}
