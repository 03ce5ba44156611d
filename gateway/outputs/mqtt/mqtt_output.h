#pragma once
// korv-host's MQTT side: publishes the site to a broker through libmosquitto.
//
//   <prefix>/status                           online / offline (retained; the last will)
//   <prefix>/<unit>/link                      answering / not answering (retained)
//   <prefix>/<unit>/<type>/<data_id>/<key>    a value, as the readable lines print it (retained)
//   <prefix>/<unit>/<type>/<data_id>/source   round / cache: where those values come from
//   (retained) <prefix>/<unit>/alarm                     each raise and clear, the --json alarm
//   line (QoS 1) <prefix>/<unit>/alarms                    the active alarms, a JSON array of their
//   raise
//                                             events (retained)
//   homeassistant/...                         Home Assistant discovery, with `discovery`
//
// Each unit's active set also goes out after its first completed round,
// empty or not, so that a set retained from an earlier run goes.
//
// The units' polling threads never wait on the broker: every On... call only
// queues and returns; one thread of this output publishes, libmosquitto's
// network thread reconnects with back-off. The queue is bounded: values of
// one topic coalesce to the latest; when it is full the oldest value goes
// first, then the oldest retained state, an alarm event only when nothing
// else is left. An alarm event leaves the queue when the broker acknowledged
// it (PUBACK), so the events of a broker's absence go out in order when it
// returns.
//
// MQTT 5 is spoken, 3.1.1 to a broker that does not speak 5: a refused
// connection is told once with the broker's reason, and (MQTT 5) so is a
// refused publish.
//
// The broker's absence is told once when it begins, with libmosquitto's
// reason (a refused connection, a name not found, a failed TLS handshake,
// the broker's refusal), and once when the broker is back; a stop tells the
// alarm events it could not deliver. Once connected, the retained topics of
// units no longer in the site (removed between two runs) are cleared: a
// short subscription to the site's topics collects them.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "gateway/outputs/output.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace korv_host {

struct MqttSettings {
  std::string host;
  int port = 1883;
  bool tls = false;     // mqtts://
  std::string ca_file;  // the CA certificates that check the broker (mqtts)
  std::string username;
  std::string password;
  std::string prefix;     // the site's topics start here
  std::string client_id;  // stable per site
  bool discovery = false;
  std::size_t queue_limit = 10000;  // messages waiting at most
  int reconnect_min_s = 1;          // libmosquitto's back-off, doubling up to the max
  int reconnect_max_s = 30;
  int protocol = 5;  // MQTT 5, or 4 (3.1.1)
  // Where the output tells what goes wrong with the broker and what mends
  // it, one line each ("mqtt: ...") with its syslog priority (LOG_WARNING,
  // LOG_NOTICE): korv_host::Say when empty.
  std::function<void(int priority, const std::string& line)> tell;
  // The data ids of the site's units, when known: the retained topics of any
  // other unit under the prefix, its discovery topics too, are cleared once
  // connected. None: nothing is cleared.
  std::optional<std::set<unsigned>> units;
};

// Takes `mqtt://host[:port]` (port 1883 by default) or `mqtts://host[:port]`
// (8883) into `settings`. False with a one-line `error` otherwise.
bool ParseMqttUrl(const std::string& url, MqttSettings& settings, std::string& error);
// Reads the credentials file: the user name on its first line, the password on
// its second. False with a one-line `error` (which never holds either).
bool ReadMqttCredentials(const std::string& path, MqttSettings& settings, std::string& error);
// Takes the credentials from KORV_MQTT_USERNAME and KORV_MQTT_PASSWORD when
// the first is set, and wipes the password from the process's environment
// (its text too, which /proc/<pid>/environ shows).
void TakeMqttEnvironment(MqttSettings& settings);
// `psma/<host name>`.
std::string DefaultMqttPrefix();
// False with a one-line `error` for a prefix a broker would not take as the
// site's own: one that begins with '$' (the broker's topics), holds an empty
// level, '+', '#' or NUL.
bool CheckMqttPrefix(const std::string& prefix, std::string& error);
// The site's id with topics under `prefix`: "korv-host-" and the prefix,
// escaped without collisions into Home Assistant's [a-zA-Z0-9_-].
std::string MqttSiteId(const std::string& prefix);
// The client id of the site with topics under `prefix` on this machine:
// the site's id and the machine's (/etc/machine-id, else the host name), so
// that neither two prefixes nor two machines share one.
std::string MqttClientId(const std::string& prefix);

class MqttOutput final : public Output {
 public:
  explicit MqttOutput(MqttSettings settings);
  // Stops: what waits gets a short while (2 s) to go out, then `offline` is
  // said and the client disconnects; the alarm events left are told, counted.
  ~MqttOutput() override;
  MqttOutput(const MqttOutput&) = delete;
  MqttOutput& operator=(const MqttOutput&) = delete;

  // Creates the client, sets the last will and starts connecting (in the
  // background: a broker away now is no error, it is reconnected to). False
  // with a one-line `error` when the client cannot be made (e.g. the CA file).
  bool Start(std::string& error);

  void OnRound(unsigned unit, const RoundEvent& event) override;
  void OnValues(unsigned unit, const ValuesEvent& event) override;
  void OnAlarm(unsigned unit, const AlarmEvent& event) override;
  void OnLinkState(unsigned unit, const LinkEvent& event) override;
  // A unit gone from the site (a reload) leaves nothing retained: each of
  // its topics, discovery ones included, is cleared with an empty message.
  void OnUnitRemoved(unsigned unit, const UnitRemovedEvent& event) override;

  // Messages waiting: queued, or alarm events the broker has not yet
  // acknowledged.
  std::size_t Waiting() const;
  // Messages dropped because the queue was full.
  std::size_t Dropped() const;
  // Waits until nothing waits, or `limit` passed; true when nothing waits.
  bool Drain(std::chrono::milliseconds limit) const;
  bool Connected() const;

  // The output's own health, for the metrics: korv_mqtt_connected,
  // korv_mqtt_queue_messages, korv_mqtt_dropped_messages_total and
  // korv_mqtt_refused_messages_total (publishes the broker refused).
  std::vector<HealthNumber> Metrics() const override;
  // "mqtt: the broker HOST:PORT is away: <reason>" (or refused the
  // connection, or its TLS failed) from the outage's start to its end.
  std::string Outage() const override;

 private:
  // A retained message that coalesces by topic: a value, or a state (the
  // status, a link, an active set, a discovery message).
  struct Retained {
    std::string topic;
    std::string payload;
    bool state = false;
  };
  // An alarm event (or the last `offline`): QoS 1, leaves on its PUBACK.
  struct Event {
    std::string topic;
    std::string payload;
    bool retain = false;
    int mid = -1;          // its message id while the broker has it
    bool sending = false;  // being handed to libmosquitto
  };

  void PutRetained(const std::string& topic, const std::string& payload, bool state);
  // The same under mutex_; true when the publishing thread is to be woken.
  bool PutRetainedLocked(const std::string& topic, const std::string& payload, bool state);
  void PutEvent(const std::string& topic, const std::string& payload, bool retain);
  // Makes room for one message (an alarm event or not); false when nothing
  // can go for it.
  bool MakeRoom(bool event);
  std::size_t QueuedLocked() const;
  void Publish();  // the publishing thread
  void Discover(unsigned unit, const ValuesEvent& values);
  void DiscoverAlarm(unsigned unit, const korv::AlarmCheck& check);

  // The unit's active set, as JSON, under mutex_.
  std::string ActiveSetLocked(unsigned unit) const;
  // Starts libmosquitto's network thread again after the back-off.
  void RestartLater();
  // Tells `text` at warning priority unless it was the last thing told;
  // an outage begun (`outage`), that its start is not told again.
  void TellOnce(const std::string& text, bool outage = false);
  void Tell(int priority, const std::string& text) const;
  // The broker away for `reason`: told unless this outage was told already.
  void Away(const std::string& reason);
  std::string Broker() const;  // host:port
  // The unit whose retained topic `topic` is (a topic of the site's layout,
  // or a discovery topic of the site); none for any other.
  std::optional<unsigned> UnitOf(const std::string& topic) const;
  // One step of the sweep of retained topics of units gone: subscribe, or
  // (its time up) unsubscribe and clear what was collected. Publishing thread.
  void SweepStep(std::unique_lock<std::mutex>& lock);
  bool SweepDueLocked() const;

  static void OnConnect(mosquitto* client, void* self, int rc, int flags,
                        const struct mqtt5__property* properties);
  static void OnDisconnect(mosquitto* client, void* self, int rc,
                           const struct mqtt5__property* properties);
  static void OnPublish(mosquitto* client, void* self, int mid, int reason,
                        const struct mqtt5__property* properties);
  static void OnLog(mosquitto* client, void* self, int level, const char* text);
  static void OnSubscribe(mosquitto* client, void* self, int mid, int count, const int* granted);
  static void OnMessage(mosquitto* client, void* self, const mosquitto_message* message);

  const MqttSettings settings_;
  mosquitto* client_ = nullptr;
  std::thread publisher_;

  // Held while events are handed to libmosquitto, so that their PUBACKs
  // (on its network thread) wait until their mids are noted. Taken before
  // mutex_.
  std::mutex mid_mutex_;
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  bool connected_ = false;
  bool connected_once_ = false;  // a connection before this one
  bool stop_ = false;
  bool publisher_idle_ = false;  // the publishing thread waits for something to send
  std::list<Retained> values_;   // oldest first
  std::list<Retained> states_;
  std::unordered_map<std::string, std::list<Retained>::iterator> waiting_;  // by topic
  std::list<Event> events_;                                                 // in order
  std::size_t dropped_ = 0;
  // What a broker that lost its retained messages is told again on connect.
  std::map<std::string, std::string> retained_states_;
  // Each unit's active alarms, by (device, type, key): the raise event.
  std::map<unsigned, std::map<std::string, std::string>> active_;
  std::map<unsigned, std::set<std::string>> discovered_;  // discovery topics sent, by unit
  // Value topics put, by unit, with the payload last put: a value that has
  // not moved is not sent again (a new connection sends each once more).
  std::map<unsigned, std::map<std::string, std::string>> value_topics_;
  std::set<unsigned> rounded_;  // units whose first round completed
  // QoS 1 retained messages with the broker, by mid, so that a refusal can
  // name its topic (under mid_mutex_).
  std::map<int, std::string> state_mids_;
  std::size_t refused_ = 0;
  bool restart_ = false;  // the network thread is to start again at restart_at_
  std::chrono::steady_clock::time_point restart_at_;
  std::chrono::seconds restart_delay_;
  std::string last_told_;  // under tell_mutex_
  bool tls_told_ = false;  // a failed handshake told since the last connection; under tell_mutex_
  std::set<int> refusals_told_;  // publish refusals' reasons told (tell_mutex_)
  // The outage's line ("mqtt: ..."), empty while connected or not yet
  // failed; once set, the outage was told (tell_mutex_).
  std::string outage_;
  // MQTT 5 refused by a broker of 3.1.1: the disconnect that follows is no
  // outage (tell_mutex_).
  bool version_changed_ = false;
  mutable std::mutex tell_mutex_;

  // The sweep of retained topics of units gone (under mutex_).
  enum class Sweep { kNone, kDue, kCollecting, kAgain, kDone };
  Sweep sweep_ = Sweep::kNone;
  std::chrono::steady_clock::time_point sweep_quiet_;  // it ends here (a quiet moment) ...
  std::chrono::steady_clock::time_point sweep_end_;    // ... or here at the latest
  // A stop's bound on the sweep.
  std::chrono::steady_clock::time_point sweep_by_ = std::chrono::steady_clock::time_point::max();
  std::set<std::string> stale_;  // retained topics of units not in the site, collected
  std::set<unsigned> units_;     // the site's units now: from the settings and the events
  int protocol_ = 5;             // the version spoken now (the network thread's)
};

}  // namespace korv_host
