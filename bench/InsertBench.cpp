// Throughput of storing accepted messages: one durable transaction per message
// (WAL, synchronous=FULL), as the new-message thread does it. Runs on a fresh database in a
// folder below the current directory (or $VOXMIT_BENCH_DIR), so the figure reflects that disk.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "store/dmodData.h"
#include "store/schema.h"

namespace {

// A scratch folder holding one database, removed at the end.
class ScratchDatabase {
public:
  ScratchDatabase() {
    const char* base = std::getenv("VOXMIT_BENCH_DIR");
    std::string pattern =
        (std::filesystem::path(base ? base : ".") / "voxmit-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    voxmit::CreateDatabase(File());
  }
  ~ScratchDatabase() {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
  ScratchDatabase(const ScratchDatabase&) = delete;
  ScratchDatabase& operator=(const ScratchDatabase&) = delete;
  std::filesystem::path File() const { return folder_ / voxmit::kDatabaseFileName; }

private:
  std::filesystem::path folder_;
};

void BM_InsertNewMessage(benchmark::State& state) {
  ScratchDatabase scratch;
  voxmit::TDMData data(scratch.File());
  const std::string text(static_cast<size_t>(state.range(0)), 'x');
  int32_t record = 0;
  for (auto _ : state) {
    auto id = data.InsertNewMessage("{00000000-0000-0000-0000-000000000001}", ++record,
                                    voxmit::CT_TAP, 1, "5550100", text);
    if (!id) {
      state.SkipWithError("insert failed");
      break;
    }
    benchmark::DoNotOptimize(id);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InsertNewMessage)->Arg(100)->Arg(1000)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The same from several threads at once, each on its own connection.
void BM_InsertNewMessageThreads(benchmark::State& state) {
  static std::unique_ptr<ScratchDatabase> scratch;
  static std::unique_ptr<voxmit::TDMData> data;
  if (state.thread_index() == 0) {
    scratch = std::make_unique<ScratchDatabase>();
    data = std::make_unique<voxmit::TDMData>(scratch->File());
  }
  int32_t record = 0;
  for (auto _ : state) {
    auto id = data->InsertNewMessage("{00000000-0000-0000-0000-000000000001}", ++record,
                                     voxmit::CT_TAP, 1, "5550100", "message text");
    if (!id) state.SkipWithError("insert failed");
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    data.reset();
    scratch.reset();
  }
}
BENCHMARK(BM_InsertNewMessageThreads)
    ->Threads(1)
    ->Threads(4)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

} // namespace
