// What korv-host's HTTP side costs: the events of one unit's round recorded
// in SiteState (on the polling thread, under its lock), and one request
// (/metrics, /api/v1/state) rendered from a snapshot of a site of N units.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "alloc_counter.h"
#include "child_values.h"
#include "gateway/core/site_state.h"
#include "gateway/outputs/http/http_server.h"

namespace {

using korv_host::SiteState;
using korv_host::ValuesEvent;

// The values of a realistic unit's children, as korv-host tells them: two AC
// screens (3 channels in all), two DC screens, the rectifier group of three
// modules.
std::vector<ValuesEvent> UnitValues(unsigned unit) {
  return {bench::ChildValues(unit * 100 + 11, "psma-ac", 1, 230.1f),
          bench::ChildValues(unit * 100 + 12, "psma-ac", 2, 230.1f),
          bench::ChildValues(unit * 100 + 21, "psma-dc", 0, 53.5f),
          bench::ChildValues(unit * 100 + 22, "psma-dc", 0, 53.5f),
          bench::ChildValues(unit, "psma-rc", 3, 20.5f)};
}

// One round's events: 10 requests, its duration, the round, the values.
void TellRound(SiteState& site, unsigned unit, int round, const std::vector<ValuesEvent>& values) {
  for (int r = 0; r < 10; ++r) site.OnRequest(unit, {0x40, 0x41});
  site.OnRound(unit, {round, std::chrono::milliseconds(180)});
  for (const auto& v : values) site.OnValues(unit, v);
}

// A site of `units` units after two rounds, each with one active alarm.
void FillSite(SiteState& site, unsigned units) {
  for (unsigned u = 1; u <= units; ++u) {
    const auto values = UnitValues(u);
    TellRound(site, u, 1, values);
    TellRound(site, u, 2, values);
    site.OnLinkState(u, {true, "answering"});
    korv::AlarmCheck alarm;
    alarm.device = u * 100 + 21;
    alarm.device_type = "psma-dc";
    alarm.key = "DC_0";
    alarm.code = "06008";
    alarm.level = 3;
    alarm.name = "输出电压过低告警";
    alarm.description = alarm.name;
    alarm.transition = korv::AlarmTransition::Raised;
    site.OnAlarm(u, alarm);
  }
}

void BM_SiteStateRound(benchmark::State& state) {
  SiteState site({1});
  const auto values = UnitValues(1);
  int round = 0;
  TellRound(site, 1, ++round, values);
  const std::uint64_t before = bench_support::Allocations();
  for (auto _ : state) TellRound(site, 1, ++round, values);
  state.counters["allocs/round"] = benchmark::Counter(
      static_cast<double>(bench_support::Allocations() - before) / state.iterations());
}
BENCHMARK(BM_SiteStateRound);

template <std::string (*Render)(const SiteState::Snapshot&)>
void BM_Request(benchmark::State& state) {
  SiteState site;
  FillSite(site, static_cast<unsigned>(state.range(0)));
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string body = Render(site.Take());
    bytes = body.size();
    benchmark::DoNotOptimize(body.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
  state.counters["per_unit"] = benchmark::Counter(
      static_cast<double>(state.range(0)),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK_TEMPLATE(BM_Request, korv_host::MetricsText)
    ->Name("BM_Metrics")
    ->Arg(1)
    ->Arg(16)
    ->Arg(64);
BENCHMARK_TEMPLATE(BM_Request, korv_host::StateJson)
    ->Name("BM_StateJson")
    ->Arg(1)
    ->Arg(16)
    ->Arg(64);

}  // namespace
