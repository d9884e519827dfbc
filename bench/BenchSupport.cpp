#include "BenchSupport.h"

#include <Poco/NumberParser.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <iostream>
#include <set>
#include <thread>

#include "platform/ThreadRegistry.h"

namespace voxmit::bench {

using namespace std::chrono_literals;

TMeteredLine::TMeteredLine(test::FakeLinePeer& inner, int baud)
    : inner_(inner),
      perByte_(baud > 0 ? std::chrono::microseconds(10'000'000 / baud)
                        : std::chrono::microseconds(0)) {}

void TMeteredLine::OnConnect(test::FakeLine& line) {
  line_ = &line;
  inner_.OnConnect(*this);
}

void TMeteredLine::OnReceive(std::string_view bytes, test::FakeLine& line) {
  line_ = &line;
  toModem_ += static_cast<long>(bytes.size());
  if (perByte_.count() == 0) {
    inner_.OnReceive(bytes, *this);
    MarkByte();
    return;
  }
  // The bytes of one read were written together: they follow each other on a running
  // schedule, so that waking late from one sleep does not delay the rest.
  lineFree_ = std::max(lineFree_, TClock::now());
  for (size_t i = 0; i < bytes.size(); ++i) {
    lineFree_ += perByte_;
    std::this_thread::sleep_until(lineFree_);
    MarkByte();
    inner_.OnReceive(bytes.substr(i, 1), *this);
  }
}

void TMeteredLine::OnTick(test::FakeLine& line) {
  line_ = &line;
  inner_.OnTick(*this);
}

void TMeteredLine::Send(std::string_view bytes) {
  fromModem_ += static_cast<long>(bytes.size());
  if (line_) line_->Send(bytes);
  MarkByte();
  // One direction at a time, as the line time reckons: a byte echoed while a command comes in
  // delays the rest of the command.
  lineFree_ = std::max(lineFree_, TClock::now());
}

void TMeteredLine::HangUp() {
  if (line_) line_->HangUp();
}

TArgReader& TArgReader::Int(std::string name, int& field) {
  ints_.emplace_back(std::move(name), &field);
  return *this;
}

TArgReader& TArgReader::Text(std::string name, std::string& field) {
  texts_.emplace_back(std::move(name), &field);
  return *this;
}

bool TArgReader::Read(int argc, char** argv) const {
  const auto named = [](const auto& fields, const std::string& name) {
    const auto it = std::find_if(fields.begin(), fields.end(),
                                 [&](const auto& field) { return field.first == name; });
    return it == fields.end() ? nullptr : it->second;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (auto* text = named(texts_, arg)) {
      *text = value;
    } else if (auto* number = named(ints_, arg)) {
      if (!Poco::NumberParser::tryParse(value, *number)) return false;
    } else {
      return false;
    }
  }
  return true;
}

int BenchMain(const char* name, const char* usage, bool parsed, const std::function<int()>& run) {
  if (!parsed) {
    std::cerr << usage;
    return 2;
  }
  try {
    return run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", name, e.what());
    return 1;
  }
}

std::shared_ptr<TNDevice> MakeHeldDevice(TNDeviceRow row) {
  auto device = std::make_shared<TNDevice>(std::move(row));
  device->FreeEvent.TryTake();
  return device;
}

TNDeviceRow PtyModemRow(const std::string& slavePath) {
  return TNDeviceRow{.ID = 1,
                     .TypeName = "MODEM",
                     .SettingsData = slavePath + ",ATQ0V1M1E0X4,,false,1,1",
                     .DeviceKind = DK_MODEM,
                     .Name = "Modem1"};
}

void PrintLineSpeed(int baud) {
  if (baud > 0) std::printf("line paced at %d baud (%.0f bytes/s)\n", baud, baud / 10.0);
  else std::printf("line unpaced\n");
}

TFeedRun FeedUntilHungUp(TNBaseCarrierChannel& channel, TNDevice& device, int count,
                         int inputLimit, std::chrono::seconds timeout,
                         const std::function<void(int n)>& enqueue) {
  TFeedRun run;
  int enqueued = 0;
  const auto topUp = [&] {
    while (enqueued < count && enqueued - static_cast<int>(run.Results.size()) < inputLimit)
      enqueue(++enqueued);
  };
  topUp();
  run.Start = TClock::now();
  device.FreeEvent.Set();
  while (TClock::now() - run.Start < timeout) {
    while (auto part = channel.DequeueResult()) run.Results.push_back(std::move(part));
    topUp();
    // The last result is handed back while the call is up; the worker then logs off or clears
    // the call and hangs up before it marks the channel not connected.
    if (static_cast<int>(run.Results.size()) >= count && !channel.Connected()) {
      run.Finished = true;
      break;
    }
    std::this_thread::sleep_for(1ms);
  }
  run.Done = TClock::now();
  return run;
}

void CloseChannels(const std::vector<std::shared_ptr<TNBaseCarrierChannel>>& channels) {
  for (const auto& channel : channels) channel->Close();
  while (TNThreadRegistry::Instance().Running() > 0) {
    for (const auto& channel : channels)
      while (channel->DequeueResult()) {
      }
    std::this_thread::sleep_for(5ms);
  }
}

void ReportTimeout(size_t results, int count, double seconds) {
  std::fprintf(stderr, "timed out: %zu of %d results after %.0f s\n", results, count, seconds);
}

bool AllSent(const TResults& results, const char* noun) {
  bool ok = true;
  for (const auto& part : results) {
    if (part->SendError != MSE_OK || !part->Taken) {
      std::fprintf(stderr, "%s %d came back with send error %d\n", noun, part->ID,
                   static_cast<int>(part->SendError));
      ok = false;
    }
  }
  return ok;
}

bool EachOnce(const TResults& results, int count, const char* noun) {
  std::set<int32_t> ids;
  for (const auto& part : results) ids.insert(part->ID);
  if (static_cast<int>(ids.size()) == count && static_cast<int>(results.size()) == count)
    return true;
  std::fprintf(stderr, "%zu results for %zu distinct %ss, %d sent\n", results.size(), ids.size(),
               noun, count);
  return false;
}

} // namespace voxmit::bench
