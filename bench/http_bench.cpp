// What korv-host's HTTP side costs: the events of one unit's round recorded
// in SiteState (on the polling thread, under its lock), and one request
// (/metrics, /api/v1/state) rendered from a snapshot of a site of N units.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "alloc_counter.h"
#include "gateway/core/site_state.h"
#include "gateway/outputs/http/http_server.h"

namespace {

using korv_host::SiteState;
using korv_host::ValuesEvent;

// The values of a realistic unit's children, as korv-host tells them: two AC
// screens (3 channels in all), two DC screens, the rectifier group.
std::vector<ValuesEvent> UnitValues(unsigned unit) {
  std::vector<ValuesEvent> children;
  const auto ac = [&](unsigned device, int channels) {
    ValuesEvent c;
    c.device = device;
    c.type = "psma-ac";
    for (const char* key : {"ia", "ib", "ic", "ia_alert", "ib_alert", "ic_alert"}) {
      c.values.emplace_back(key, 12.5f);
    }
    for (int ch = 0; ch < channels; ++ch) {
      for (const char* phase : {"a", "b", "c", "f"}) {
        c.values.emplace_back("channel_" + std::to_string(ch) + "_" + phase, 230.1f);
      }
    }
    children.push_back(c);
  };
  ac(unit * 100 + 11, 1);
  ac(unit * 100 + 12, 2);
  for (unsigned device : {unit * 100 + 21, unit * 100 + 22}) {
    ValuesEvent c;
    c.device = device;
    c.type = "psma-dc";
    c.values = {{"v", 53.5f}, {"i", 122.4f}};
    children.push_back(c);
  }
  ValuesEvent rc;
  rc.device = unit;
  rc.type = "psma-rc";
  children.push_back(rc);
  return children;
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
