// korv-host's MQTT side against a real broker (mosquitto) on a free loopback
// port: the retained values of the last round, the alarm events in order with
// the active set following them, the last will, and a broker away for the
// rounds that raise and clear the alarms. Every wait is bounded.

#include "gateway/outputs/mqtt/mqtt_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gateway/core/json_text.h"
#include "gateway/core/runner.h"
#include "gateway/simulator/psma_simulator.h"
#include "support/run_program.h"
#include "support/wait_for.h"
#include "tools/common/free_port.h"

namespace {

using namespace std::chrono_literals;
using korv_host::MqttOutput;
using korv_host::MqttSettings;

using testing_support::WaitFor;

bool Accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

// mosquitto on a free loopback port, its persistence in a folder of its own,
// so that a stop and a start keep the sessions and the retained messages.
class Broker {
 public:
  Broker() : port_(korv_tools::FreeLoopbackPort()) {
    char dir[] = "/tmp/korv-mqtt-XXXXXX";
    dir_ = ::mkdtemp(dir) != nullptr ? dir : "/tmp";
    ::chmod(dir_.c_str(), 0777);  // started as root, mosquitto saves as its own user
    std::ofstream(dir_ + "/mosquitto.conf")
        << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\npersistence true\n"
        << "persistence_location " << dir_ << "/\n";
  }
  ~Broker() {
    Stop();
    for (const char* f : {"/mosquitto.conf", "/mosquitto.db"}) std::remove((dir_ + f).c_str());
    ::rmdir(dir_.c_str());
  }
  // False when mosquitto is not installed or does not listen.
  bool Start() {
    pid_ = ::fork();
    if (pid_ == 0) {
      const std::string conf = dir_ + "/mosquitto.conf";
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
      ::execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    return pid_ > 0 && WaitFor([this] { return Accepts(port_); }, 10s);
  }
  // Stops it as an operator would: it saves its persistence first.
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  int port() const { return port_; }

 private:
  int port_;
  std::string dir_;
  pid_t pid_ = -1;
};

#define START_BROKER(broker) \
  ASSERT_TRUE((broker).Start()) << "mosquitto is not installed or does not start (scripts/deps)"

struct Message {
  std::string topic;
  std::string payload;
  bool retained = false;
};

// A subscriber to everything, at QoS 1. With a persistent session it gets
// what was published while it or the broker was away.
class Subscriber {
 public:
  Subscriber(int port, const char* id = nullptr) {
    mosquitto_lib_init();
    client_ = mosquitto_new(id, id == nullptr, this);
    mosquitto_reconnect_delay_set(client_, 1, 1, false);
    mosquitto_connect_callback_set(client_, [](mosquitto* c, void*, int rc) {
      if (rc == 0) mosquitto_subscribe(c, nullptr, "#", 1);
    });
    mosquitto_subscribe_callback_set(client_, [](mosquitto*, void* self, int, int, const int*) {
      auto* s = static_cast<Subscriber*>(self);
      std::lock_guard<std::mutex> lock(s->mutex_);
      s->subscribed_ = true;
    });
    mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* m) {
      auto* s = static_cast<Subscriber*>(self);
      std::lock_guard<std::mutex> lock(s->mutex_);
      s->messages_.push_back({m->topic,
                              std::string(static_cast<const char*>(m->payload),
                                          static_cast<std::size_t>(m->payloadlen)),
                              m->retain});
    });
    mosquitto_connect_async(client_, "127.0.0.1", port, 30);
    mosquitto_loop_start(client_);
  }
  ~Subscriber() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }
  bool WaitSubscribed() {
    return WaitFor([this] {
      std::lock_guard<std::mutex> lock(mutex_);
      return subscribed_;
    });
  }
  std::vector<Message> Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  // The payloads on `topic`, in order.
  std::vector<std::string> On(const std::string& topic) {
    std::vector<std::string> out;
    for (const auto& m : Messages()) {
      if (m.topic == topic) out.push_back(m.payload);
    }
    return out;
  }
  // The latest payload of each topic.
  std::map<std::string, std::string> Latest() {
    std::map<std::string, std::string> out;
    for (const auto& m : Messages()) out[m.topic] = m.payload;
    return out;
  }

 private:
  mosquitto* client_;
  std::mutex mutex_;
  bool subscribed_ = false;
  std::vector<Message> messages_;
};

// What the runner told, as the topics and payloads it should make.
class Expected final : public korv_host::Output {
 public:
  void OnValues(unsigned unit, const korv_host::ValuesEvent& v) override {
    for (const auto& [key, value] : v.values) {
      char text[32];
      std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
      values["psma/site/" + std::to_string(unit) + "/" + v.type + "/" + std::to_string(v.device) +
             "/" + key] = text;
    }
  }
  void OnAlarm(unsigned, const korv_host::AlarmEvent& c) override {
    alarms.push_back(korv_host::AlarmJson(c));
  }
  std::map<std::string, std::string> values;  // the latest
  std::vector<std::string> alarms;
};

MqttSettings Settings(int port) {
  MqttSettings s;
  s.host = "127.0.0.1";
  s.port = port;
  s.prefix = "psma/site";
  s.client_id = korv_host::MqttClientId(s.prefix);
  s.reconnect_max_s = 1;  // back at once when the broker is
  return s;
}

// The built-in site for 3 rounds (alarms raised in round 2, cleared in
// round 3), told to `mqtt` and `expected`.
void RunSite(const std::string& db, const std::shared_ptr<MqttOutput>& mqtt,
             const std::shared_ptr<Expected>& expected) {
  korv_host::Options o;
  o.site = korv_host::BuiltInSite();
  o.plugin = PSMA_PLUGIN_PATH;
  o.db = db;
  o.rounds = 3;
  o.simulate = true;
  o.simulator = korv_host::PsmaSimulator();
  o.poll_interval = 10ms;
  o.outputs = {expected, mqtt};
  korv_host::Runner runner(o);
  std::string error;
  ASSERT_TRUE(runner.Setup(error)) << error;
  runner.Start();
  EXPECT_TRUE(runner.Wait(60s));
  runner.Stop();
}

// The broker away for the three rounds, then there throughout (the values
// of the first run restored from the database first): either way the
// subscriber gets every alarm event in order, the active set follows them and
// the values retained are those of the last round.
TEST(Mqtt, PublishesRoundsAlarmsAndStateWhetherOrNotTheBrokerWasAway) {
  char db[] = "/tmp/korv-mqtt-db-XXXXXX";
  ::close(::mkstemp(db));
  for (const bool away : {true, false}) {
    SCOPED_TRACE(away ? "broker away" : "broker there");
    Broker broker;
    START_BROKER(broker);
    auto subscriber = std::make_unique<Subscriber>(broker.port(), "korv-test-probe");
    ASSERT_TRUE(subscriber->WaitSubscribed());
    if (away) broker.Stop();
    auto settings = Settings(broker.port());
    settings.discovery = true;
    auto mqtt = std::make_shared<MqttOutput>(settings);
    std::string error;
    ASSERT_TRUE(mqtt->Start(error)) << error;
    if (!away) {
      ASSERT_TRUE(WaitFor([&] { return mqtt->Connected(); }));
    }
    auto expected = std::make_shared<Expected>();
    RunSite(db, mqtt, expected);
    if (away) {
      EXPECT_FALSE(mqtt->Connected());
      EXPECT_GT(mqtt->Waiting(), expected->alarms.size());
      START_BROKER(broker);
    }
    ASSERT_TRUE(mqtt->Drain(30s)) << mqtt->Waiting() << " waiting";
    ASSERT_EQ(expected->alarms.size(), 6u);  // three raised, three cleared
    EXPECT_TRUE(WaitFor([&] { return subscriber->On("psma/site/1/alarm").size() >= 6; }));
    EXPECT_EQ(subscriber->On("psma/site/1/alarm"), expected->alarms);
    EXPECT_EQ(mqtt->Dropped(), 0u);

    // A client that connects now sees the state as it is.
    Subscriber late(broker.port());
    ASSERT_TRUE(late.WaitSubscribed());
    const std::string alarm_sensor =
        "homeassistant/binary_sensor/korv-host-psma_site/u1_psma-ac_11_AC_4_alarm/config";
    EXPECT_TRUE(WaitFor([&] {
      auto now = late.Latest();
      for (const auto& [topic, value] : expected->values) {
        if (now.count(topic) == 0) return false;
      }
      return now.count(alarm_sensor) > 0 && now.count("psma/site/1/link") > 0;
    }));
    auto latest = late.Latest();
    for (const auto& [topic, value] : expected->values) EXPECT_EQ(latest[topic], value) << topic;
    EXPECT_EQ(latest["psma/site/1/psma-ac/11/source"], "round");
    EXPECT_EQ(latest["psma/site/status"], "online");
    EXPECT_EQ(latest["psma/site/1/link"], "answering");
    EXPECT_EQ(latest["psma/site/1/alarms"], "[]");
    EXPECT_EQ(latest.count("psma/site/1/alarm"), 0u);  // events are not retained
    // Home Assistant: a sensor per value key, a binary sensor per alarm seen.
    const std::string ha = "homeassistant/sensor/korv-host-psma_site/u1_psma-";
    for (const auto& [object, unit] : {std::pair<const char*, const char*>{"ac_11_ia", "\"A\""},
                                       {"ac_11_channel_0_f", "\"Hz\""},
                                       {"dc_21_v", "\"V\""}}) {
      EXPECT_NE(
          latest[ha + object + "/config"].find("\"unit_of_measurement\":" + std::string(unit)),
          std::string::npos)
          << object;
    }
    EXPECT_EQ(latest.count(alarm_sensor), 1u);

    // The active set held all three raised alarms, with the broker there
    // (sets waiting together coalesce to the latest).
    std::vector<std::size_t> sizes;
    for (const auto& set : subscriber->On("psma/site/1/alarms")) {
      sizes.push_back(static_cast<std::size_t>(std::count(set.begin(), set.end(), '{')));
    }
    if (!away) {
      EXPECT_NE(std::find(sizes.begin(), sizes.end(), 3u), sizes.end());
      EXPECT_EQ(subscriber->On("psma/site/1/psma-ac/11/source").front(), "cache");
    }
    mqtt.reset();  // says offline
    EXPECT_TRUE(WaitFor([&] { return late.Latest()["psma/site/status"] == "offline"; }));
  }
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((std::string(db) + suffix).c_str());
}

// However korv-host ends, the broker says it is offline: a clean end says it,
// a killed one leaves it to the last will.
TEST(Mqtt, StatusIsOfflineWhenKorvHostEndsOrIsKilled) {
  const struct {
    const char* name;
    const char* rounds;
    const char* kill_when;
  } cases[] = {{"clean end", "1", ""}, {"killed", "0", "round 1"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Broker broker;
    START_BROKER(broker);
    Subscriber subscriber(broker.port());
    ASSERT_TRUE(subscriber.WaitSubscribed());
    char db[] = "/tmp/korv-mqtt-db-XXXXXX";
    ::close(::mkstemp(db));
    const auto r = testing_support::RunProgram(
        KORV_HOST_PATH,
        {"--rounds", c.rounds, "--db", db, "--plugin", PSMA_PLUGIN_PATH, "--mqtt",
         "mqtt://127.0.0.1:" + std::to_string(broker.port()), "--mqtt-prefix", "psma/site"},
        60s, c.kill_when);
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((std::string(db) + suffix).c_str());
    EXPECT_FALSE(r.timed_out) << r.err;
    if (c.kill_when[0] == '\0') {
      EXPECT_EQ(r.status, 0) << r.err;
    }
    EXPECT_TRUE(WaitFor([&] {
      const auto status = subscriber.On("psma/site/status");
      return !status.empty() && status.back() == "offline";
    })) << r.err;
    EXPECT_EQ(subscriber.On("psma/site/status").front(), "online");
  }
}

// A bad URL or an unreadable file stops korv-host at once: one line, status 2,
// and a credential never shows.
TEST(Mqtt, BadSettingsAreOneLineAndStatusTwo) {
  const std::string secret = "/tmp/korv-mqtt-secret";
  std::ofstream(secret) << "user-name-9\npass-word-9\n";
  const struct {
    std::vector<std::string> args;
    const char* names;
  } cases[] = {
      {{"--mqtt", "http://localhost"}, "unknown scheme"},
      {{"--mqtt", "mqtt://"}, "no host"},
      {{"--mqtt", "mqtt://localhost:99999"}, "bad port"},
      {{"--mqtt", "mqtt://localhost:x"}, "bad port"},
      {{"--mqtt", "mqtts://localhost"}, "needs --mqtt-ca"},
      {{"--mqtt", "mqtts://localhost", "--mqtt-ca", "/no/such/ca.pem"}, "/no/such/ca.pem"},
      {{"--mqtt", "mqtt://localhost", "--mqtt-credentials", "/no/such/file"}, "/no/such/file"},
  };
  for (const auto& c : cases) {
    auto args = c.args;
    args.insert(args.end(), {"--plugin", PSMA_PLUGIN_PATH, "--db", "/nonexistent/korv.db"});
    const auto r = testing_support::RunProgram(KORV_HOST_PATH, args, 30s);
    EXPECT_EQ(r.status, 2) << c.names;
    EXPECT_NE(r.err.find(c.names), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.find("pass-word-9"), std::string::npos);
  }
  std::remove(secret.c_str());
}

// With no broker the queue keeps to its bound: values of one topic coalesce,
// the oldest value goes first, an alarm event only when nothing else is left.
TEST(Mqtt, QueueKeepsItsBoundAndDropsValuesBeforeAlarmEvents) {
  korv::AlarmCheck raise;
  raise.device = 11;
  raise.device_type = "psma-ac";
  raise.key = "AC_4";
  raise.transition = korv::AlarmTransition::Raised;
  korv_host::ValuesEvent values;
  values.device = 11;
  values.type = "psma-ac";
  const struct {
    int value_rounds;  // rounds of 2 keys (+ source) each
    int alarms;        // raises and clears (each + its active set, which coalesces)
    std::size_t waiting;
    std::size_t dropped;
  } cases[] = {
      // status + 3 values (one topic each, coalesced over the rounds)
      {5, 0, 4, 0},
      // status + 3 values + 1 set + 4 events = 9 of 10
      {1, 4, 9, 0},
      // full: the values and then the status and the set give way to events
      {1, 12, 10, 10},
      // events only: the oldest events go
      {0, 14, 10, 11},
  };
  for (const auto& c : cases) {
    auto settings = Settings(korv_tools::FreeLoopbackPort());  // nothing listens there
    settings.queue_limit = 10;
    MqttOutput mqtt(settings);
    std::string error;
    ASSERT_TRUE(mqtt.Start(error)) << error;
    for (int r = 0; r < c.value_rounds; ++r) {
      values.values = {{"ia", 1.0f * static_cast<float>(r)}, {"ib", 2.0f}};
      mqtt.OnValues(1, values);
    }
    for (int k = 0; k < c.alarms; ++k) {
      raise.transition =
          k % 2 == 0 ? korv::AlarmTransition::Raised : korv::AlarmTransition::Cleared;
      mqtt.OnAlarm(1, raise);
    }
    EXPECT_EQ(mqtt.Waiting(), c.waiting) << c.value_rounds << " " << c.alarms;
    EXPECT_EQ(mqtt.Dropped(), c.dropped) << c.value_rounds << " " << c.alarms;
  }
}

}  // namespace
