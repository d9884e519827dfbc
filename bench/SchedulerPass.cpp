// scheduler-pass: how long one scheduling pass takes over many carriers with messages waiting.
//
//   scheduler-pass [--carriers N] [--messages M] [--devices D] [--passes P]
//
// Fills a fresh database directly: N carriers of carrier type 8 with M messages each, D IP
// network devices (which serve type 8), and registers the test channel for type 8 with a
// send that takes 2 s, so the carriers that get devices keep their messages pending. Then runs
// P passes on this thread and prints the time of each (the first creates the iterators).
// Exit code 0, or 1 when a pass throws; 2 on bad usage.

#include <Poco/Data/Session.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "channels/TestChannels.h"
#include "devices/Devices.h"
#include "dispatch/dmodScheduler.h"
#include "store/DbSession.h"
#include "store/DbTime.h"
#include "store/dmodData.h"
#include "store/schema.h"

using namespace Poco::Data::Keywords;

namespace voxmit {
namespace {

using bench::TClock;

struct TOptions {
  int Carriers = 10000;
  int Messages = 2;
  int Devices = 4;
  int Passes = 5;
};

const char* const Usage =
    "usage: scheduler-pass [--carriers N] [--messages M] [--devices D] [--passes P]\n";

void Fill(const std::filesystem::path& file, const TOptions& options) {
  CreateDatabase(file);
  Poco::Data::Session db = OpenDbSession(file);
  db << "BEGIN", now;
  for (int i = 1; i <= options.Devices; ++i)
    db << "INSERT INTO Devices (TypeNo, SettingsData, Name) VALUES (4, '', ?)",
        bind("net" + std::to_string(i)), now;
  const std::string time = DbNow();
  int32_t carrier = 0, record = 0;
  std::string data;
  Poco::Data::Statement carriers(db);
  carriers << "INSERT INTO Carriers (CarrierID, CarrierType, CarrierData, IntroducedByGUID, "
              "IntroducedTime) VALUES (?, 8, ?, '{bench}', ?)",
      use(carrier), use(data), bind(time);
  Poco::Data::Statement messages(db);
  messages << "INSERT INTO Messages (ClientGUID, ClientRecordID, CarrierType, CarrierID, "
              "TimeReceived, ReceiveConfirmed, PagerID, RetryTimes, Sending, MessageText) "
              "VALUES ('{bench}', ?, 8, ?, ?, 1, '1', 0, 0, 'scheduler bench')",
      use(record), use(carrier), bind(time);
  for (carrier = 1; carrier <= options.Carriers; ++carrier) {
    data = "delay=2000,n=" + std::to_string(carrier);
    carriers.execute();
    for (int m = 0; m < options.Messages; ++m) {
      ++record;
      messages.execute();
    }
  }
  db << "COMMIT", now;
}

int Run(const TOptions& options) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("scheduler-pass-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const std::filesystem::path file = folder / "ServerData.db";
  Fill(file, options);
  ::setenv(kTestChannelsVariable, "8", 1);
  RegisterTestChannels();
  int status = 0;
  {
    TDMData data(file);
    auto carriers = std::make_shared<TCarriersList>();
    data.LoadCarriers(*carriers);
    TNDevicesList devices;
    TScheduler scheduler(devices, carriers, nullptr, data, false);
    std::vector<double> ms;
    for (int p = 0; p < options.Passes; ++p) {
      const auto start = TClock::now();
      try {
        scheduler.RunSchedulingPass();
      } catch (const std::exception& e) {
        std::fprintf(stderr, "pass %d: %s\n", p + 1, e.what());
        status = 1;
      }
      ms.push_back(std::chrono::duration<double, std::milli>(TClock::now() - start).count());
    }
    std::printf("scheduler-pass: %d carriers x %d messages, %d devices, %d iterators\n",
                options.Carriers, options.Messages, options.Devices,
                scheduler.Iterators().Count());
    for (size_t p = 0; p < ms.size(); ++p) std::printf("  pass %zu: %.1f ms\n", p + 1, ms[p]);
    std::vector<double> later(ms.begin() + (ms.size() > 1 ? 1 : 0), ms.end());
    std::sort(later.begin(), later.end());
    if (!later.empty())
      std::printf("  passes after the first: median %.1f ms, max %.1f ms\n",
                  later[later.size() / 2], later.back());
  }
  std::filesystem::remove_all(folder);
  return status;
}

} // namespace
} // namespace voxmit

int main(int argc, char** argv) {
  voxmit::TOptions options;
  const bool parsed = voxmit::bench::TArgReader()
                          .Int("--carriers", options.Carriers)
                          .Int("--messages", options.Messages)
                          .Int("--devices", options.Devices)
                          .Int("--passes", options.Passes)
                          .Read(argc, argv) &&
                      options.Carriers > 0 && options.Messages > 0 && options.Devices >= 0 &&
                      options.Passes > 0;
  return voxmit::bench::BenchMain("scheduler-pass", voxmit::Usage, parsed,
                                  [&] { return voxmit::Run(options); });
}
