// How fast the host's threads read values: a fixed key and a channel key, on
// an idle device and from reader threads while a polling thread runs rounds.

#include <benchmark/benchmark.h>

#include <atomic>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <memory>
#include <thread>

#include "alloc_counter.h"
#include "host/local_clock.h"
#include "quiet_stdout.h"
#include "realistic_unit.h"

namespace {

using bench_support::RealisticUnit;

// A root that has run its first rounds, and optionally a polling thread that
// keeps running rounds until the benchmark ends.
class Rig {
 public:
  explicit Rig(bool polling) {
    korv::SetLocalNow(boost::posix_time::time_from_string("2026-12-07 08:00:00"));
    const auto settings = bench_support::RealisticSettings();
    root_->Init(controller_, 1, settings);
    root_->InitSetting(settings);
    root_->SetAnswerDelay(std::chrono::milliseconds(0));
    unit_.RunRound(*root_);
    korv::AdvanceLocalNow(2);
    unit_.RunRound(*root_);
    if (polling) {
      poller_ = std::thread([this] {
        while (!stop_.load(std::memory_order_relaxed)) {
          // Rounds at full speed, the clock held still (no pacing): the
          // worst case for a reader.
          root_->SetLastUpdate(korv::LocalNow() - boost::posix_time::seconds(2));
          unit_.RunRound(*root_);
          rounds_.fetch_add(1, std::memory_order_relaxed);
          if ((rounds_.load(std::memory_order_relaxed) & 63) == 0) controller_->DrainWork();
        }
      });
    }
  }
  ~Rig() {
    stop_ = true;
    if (poller_.joinable()) poller_.join();
    controller_->DrainWork();
  }
  std::shared_ptr<KorvVDevice> Ac() { return root_->AcDevices()[1]; }
  std::uint64_t Rounds() const { return rounds_.load(); }

 private:
  bench_support::QuietStdout quiet_;
  RealisticUnit unit_;
  std::shared_ptr<KorvController> controller_ = std::make_shared<KorvController>();
  std::shared_ptr<Psma> root_ = std::make_shared<Psma>();
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> rounds_{0};
  std::thread poller_;
};

Rig* g_rig = nullptr;

void Setup(const benchmark::State& state) { g_rig = new Rig(state.range(1) != 0); }
void Teardown(const benchmark::State&) {
  delete g_rig;
  g_rig = nullptr;
  korv::UseSystemClock();
}

void BM_GetValue(benchmark::State& state) {
  const char* key = state.range(0) == 0 ? "ia" : "channel_1_c";
  auto device = g_rig->Ac();
  const std::uint64_t allocs_before = bench_support::Allocations();
  for (auto _ : state) {
    benchmark::DoNotOptimize(device->Get_Value(0, key));
  }
  const std::uint64_t allocs = bench_support::Allocations() - allocs_before;
  state.SetLabel(std::string(key) + (state.range(1) ? ", while polling" : ", idle"));
  if (state.thread_index() == 0 && state.range(1) == 0) {
    state.counters["allocs/read"] = static_cast<double>(allocs) / state.iterations();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_GetValue)->ArgsProduct({{0, 1}, {0}})->Setup(Setup)->Teardown(Teardown);
BENCHMARK(BM_GetValue)
    ->ArgsProduct({{0, 1}, {1}})
    ->Threads(1)
    ->Threads(2)
    ->Setup(Setup)
    ->Teardown(Teardown)
    ->UseRealTime();

}  // namespace
