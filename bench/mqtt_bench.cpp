// What korv-host's MQTT side costs per unit-round: the events of one round of
// the built-in site (every field of an AC screen of one channel, a DC screen
// and a rectifier group of three modules, each value moved since the last
// round; with or without the 3 alarm transitions of rounds 2 and 3)
// told to an MqttOutput connected to a real mosquitto on a loopback port.
// "told": what the polling thread pays (the calls queue and return).
// "delivered": until the broker acknowledged the round's alarm events and
// every message was handed to the network thread.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "child_values.h"
#include "gateway/outputs/mqtt/mqtt_output.h"
#include "tools/common/free_port.h"

namespace {

// mosquitto on a free loopback port, without persistence, for the whole run.
class Broker {
 public:
  Broker()
      : port_(korv_tools::FreeLoopbackPort()),
        conf_("/tmp/korv-mqtt-bench-" + std::to_string(::getpid())) {
    std::ofstream(conf_) << "listener " << port_
                         << " 127.0.0.1\nallow_anonymous true\nset_tcp_nodelay true\n";
    pid_ = ::fork();
    if (pid_ == 0) {
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
      ::execlp("mosquitto", "mosquitto", "-c", conf_.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~Broker() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    std::remove(conf_.c_str());
  }
  int port() const { return port_; }

 private:
  int port_;
  std::string conf_;
  pid_t pid_ = -1;
};

korv::AlarmCheck Alarm(unsigned device, const char* type, const char* key) {
  korv::AlarmCheck c;
  c.device = device;
  c.device_type = type;
  c.key = key;
  c.code = "06014";
  c.level = 2;
  c.name = "交流输入电压过高告警";
  c.description = "交流屏1输入线/相电压AB/A";
  return c;
}

// Arg 0: with the alarm transitions; arg 1: until delivered.
void BM_MqttRound(benchmark::State& state) {
  const bool alarms = state.range(0) != 0;
  const bool delivered = state.range(1) != 0;
  Broker broker;
  korv_host::MqttSettings settings;
  settings.host = "127.0.0.1";
  settings.port = broker.port();
  settings.prefix = "psma/bench";
  settings.client_id = korv_host::MqttClientId(settings.prefix);
  settings.discovery = true;
  korv_host::MqttOutput mqtt(settings);
  std::string error;
  if (!mqtt.Start(error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!mqtt.Connected() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!mqtt.Connected()) {
    state.SkipWithError("mosquitto is not installed or does not start (scripts/deps)");
    return;
  }
  auto ac = bench::ChildValues(11, "psma-ac", 1, 0);
  auto dc = bench::ChildValues(21, "psma-dc", 0, 0);
  auto rc = bench::ChildValues(1, "psma-rc", 3, 0);
  korv::AlarmCheck checks[] = {Alarm(11, "psma-ac", "AC_4"), Alarm(21, "psma-dc", "DC_0"),
                               Alarm(1, "psma-rc", "PSMA_RC_1")};
  float value = 230.0f;
  bool raise = true;
  for (auto _ : state) {
    value += 0.125f;
    // Every value moves, so every one goes to the broker.
    for (auto* child : {&ac, &dc, &rc}) {
      for (auto& f : child->fields) f.value = value;
    }
    if (alarms) {
      for (auto& c : checks) {
        c.transition = raise ? korv::AlarmTransition::Raised : korv::AlarmTransition::Cleared;
        mqtt.OnAlarm(1, c);
      }
      raise = !raise;
    }
    mqtt.OnValues(1, ac);
    mqtt.OnValues(1, dc);
    mqtt.OnValues(1, rc);
    if (delivered && !mqtt.Drain(std::chrono::seconds(10))) {
      state.SkipWithError("the broker did not take the round");
      break;
    }
  }
  state.counters["dropped"] = static_cast<double>(mqtt.Dropped());
}
BENCHMARK(BM_MqttRound)
    ->ArgNames({"alarms", "delivered"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
