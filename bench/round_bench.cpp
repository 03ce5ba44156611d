// What a polling round costs: the parse operations on realistic answers, and
// one whole round through process_payload with its round end, in CPU time and
// heap allocations.

#include <benchmark/benchmark.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <memory>
#include <mutex>

#include "alloc_counter.h"
#include "host/local_clock.h"
#include "quiet_stdout.h"
#include "realistic_unit.h"

namespace {

using bench_support::RealisticUnit;

const RealisticUnit& Unit() {
  static const auto* unit = new RealisticUnit();
  return *unit;
}

// A configured, identified root that has run one round (counts established).
std::shared_ptr<Psma> ReadyRoot(const std::shared_ptr<KorvController>& controller) {
  korv::SetLocalNow(boost::posix_time::time_from_string("2026-12-07 08:00:00"));
  auto root = std::make_shared<Psma>();
  const auto settings = bench_support::RealisticSettings();
  root->Init(controller, 1, settings);
  root->InitSetting(settings);
  root->SetAnswerDelay(std::chrono::milliseconds(0));
  Unit().RunRound(*root);  // identification, then the first round
  korv::AdvanceLocalNow(2);
  Unit().RunRound(*root);
  controller->DrainWork();
  return root;
}

void BM_Round(benchmark::State& state) {
  bench_support::QuietStdout quiet;
  auto controller = std::make_shared<KorvController>();
  auto root = ReadyRoot(controller);
  // Steady state first: the work items' storage and the worker's queue grow
  // once to the most the drain cadence below can leave queued (64 rounds),
  // with the worker held so that they do whatever the load.
  {
    std::mutex gate;
    gate.lock();
    controller->SubmitWork(0, [&gate] { std::lock_guard<std::mutex> hold(gate); });
    for (int k = 0; k < 65; ++k) {
      korv::AdvanceLocalNow(2);
      Unit().RunRound(*root);
    }
    gate.unlock();
    controller->DrainWork();
  }
  std::uint64_t answers = 0;
  std::uint64_t bytes = 0;
  const std::uint64_t allocs_before = bench_support::Allocations();
  std::uint64_t rounds = 0;
  for (auto _ : state) {
    korv::AdvanceLocalNow(2);
    answers += Unit().RunRound(*root);
    ++rounds;
    // The worker's share of the round (batch check, history save) runs on
    // its own thread; drain now and then so the queue stays short.
    if ((rounds & 63) == 0) controller->DrainWork();
  }
  controller->DrainWork();
  const std::uint64_t allocs = bench_support::Allocations() - allocs_before;
  for (auto cid :
       {0x4041, 0x4043, 0x4044, 0x4141, 0x4143, 0x4144, 0x4241, 0x4244, 0x4046, 0x4246}) {
    bytes += Unit().Bytes(cid >> 8, cid & 0xFF);
  }
  state.counters["answers/round"] = static_cast<double>(answers) / rounds;
  state.counters["allocs/round"] = static_cast<double>(allocs) / rounds;
  state.counters["info_bytes/round"] = static_cast<double>(bytes);
  state.SetItemsProcessed(static_cast<std::int64_t>(rounds));
  korv::UseSystemClock();
}
BENCHMARK(BM_Round)->Unit(benchmark::kMicrosecond);

// One parse operation on its realistic answer.
template <typename Device, typename Parse>
void RunParse(benchmark::State& state, const std::shared_ptr<Device>& device, Parse parse,
              const std::uint8_t* info, int len) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(((*device).*parse)(info, len));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * len);
}

void BM_Parse(benchmark::State& state) {
  bench_support::QuietStdout quiet;
  auto controller = std::make_shared<KorvController>();
  auto root = ReadyRoot(controller);
  const int which = static_cast<int>(state.range(0));
  const auto answer = [](int cid) -> const std::vector<std::uint8_t>& {
    return Unit().Answer(static_cast<std::uint8_t>(cid >> 8), static_cast<std::uint8_t>(cid));
  };
  const auto& ac = root->AcDevices()[1];  // the two-channel screen
  const auto& dc = root->DcDevices()[0];
  const auto& rc = root->RcDevice();
  // Portions inside the information field (after flag and count).
  const auto ac_portion = [&](int cid, int offset) { return answer(cid).data() + 6 + 2 + offset; };
  switch (which) {
    case 0:
      state.SetLabel("40_41 (2 channels)");
      RunParse(state, ac, &PsmaAC::parse40_41, ac_portion(0x4041, 30), 47);
      break;
    case 1:
      state.SetLabel("40_43");
      RunParse(state, ac, &PsmaAC::parse40_43, ac_portion(0x4043, 13), 13);
      break;
    case 2:
      state.SetLabel("40_44 (2 channels)");
      RunParse(state, ac, &PsmaAC::parse40_44, ac_portion(0x4044, 18), 32);
      break;
    case 3:
      state.SetLabel("41_41 (8 modules)");
      RunParse(state, rc, &PsmaRC::parse41_41, answer(0x4141).data() + 6,
               static_cast<int>(answer(0x4141).size() - 6));
      break;
    case 4:
      state.SetLabel("41_43 (8 modules)");
      RunParse(state, rc, &PsmaRC::parse41_43, answer(0x4143).data() + 6,
               static_cast<int>(answer(0x4143).size() - 6));
      break;
    case 5:
      state.SetLabel("41_44 (8 modules)");
      RunParse(state, rc, &PsmaRC::parse41_44, answer(0x4144).data() + 6,
               static_cast<int>(answer(0x4144).size() - 6));
      break;
    case 6:
      state.SetLabel("42_41");
      RunParse(state, dc, &PsmaDC::parse42_41, ac_portion(0x4241, 0), 15);
      break;
    case 7:
      state.SetLabel("42_44 (64 fuses, 13 states)");
      RunParse(state, dc, &PsmaDC::parse42_44, ac_portion(0x4244, 0), 80);
      break;
    case 8:
      state.SetLabel("40_46");
      RunParse(state, rc, &PsmaRC::parse40_46, answer(0x4046).data() + 6, 21);
      break;
    case 9:
      state.SetLabel("42_46");
      RunParse(state, rc, &PsmaRC::parse42_46, answer(0x4246).data() + 6, 45);
      break;
  }
  controller->DrainWork();
  korv::UseSystemClock();
}
BENCHMARK(BM_Parse)->DenseRange(0, 9);

}  // namespace
