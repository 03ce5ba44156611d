#include "gateway/outputs/mqtt/mqtt_output.h"

#include <fmt/format.h>
#include <json/value.h>
#include <json/writer.h>
#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <utility>

#include "gateway/outputs/lines/line_output.h"
#include "host/host_port.h"

namespace korv_host {
namespace {

constexpr int kQos0 = 0;
constexpr int kQos1 = 1;
constexpr int kKeepAliveS = 30;
// Alarm events handed to libmosquitto before their PUBACKs come back: it
// keeps them and sends them again after a reconnect, in order.
constexpr std::size_t kEventsInFlight = 10;
// How long the publishing thread gathers what is told before it sends it.
constexpr std::chrono::milliseconds kBatchWindow{50};
constexpr const char* kOnline = "online";
constexpr const char* kOffline = "offline";
constexpr const char* kDiscoveryPrefix = "homeassistant";

// One level of a topic: the broker's separators and wildcards become '_'.
std::string Level(const std::string& s) {
  std::string out = s.empty() ? "_" : s;
  for (char& c : out) {
    if (c == '/' || c == '+' || c == '#' || c == '\0') c = '_';
  }
  return out;
}

// An id Home Assistant takes in a discovery topic: [a-zA-Z0-9_-].
std::string HaId(const std::string& s) {
  std::string out = s;
  for (char& c : out) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-';
    if (!ok) c = '_';
  }
  return out;
}

std::string Compact(const Json::Value& v) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, v);
}

// `key` matches `pattern`, whose one '*' stands for any text.
bool Matches(const std::string& pattern, const std::string& key) {
  const std::size_t star = pattern.find('*');
  if (star == std::string::npos) return pattern == key;
  const std::size_t tail = pattern.size() - star - 1;
  return key.size() >= star + tail && key.compare(0, star, pattern, 0, star) == 0 &&
         key.compare(key.size() - tail, tail, pattern, star + 1, tail) == 0;
}

// What Home Assistant shows of a value key: its unit and device class.
struct KeyClass {
  const char* type;  // the child's type; "" for any
  const char* pattern;
  const char* unit;
  const char* device_class;
};
constexpr KeyClass kKeyClasses[] = {
    {"psma-ac", "ia", "A", "current"},
    {"psma-ac", "ib", "A", "current"},
    {"psma-ac", "ic", "A", "current"},
    {"psma-ac", "channel_*_a", "V", "voltage"},
    {"psma-ac", "channel_*_b", "V", "voltage"},
    {"psma-ac", "channel_*_c", "V", "voltage"},
    {"psma-ac", "channel_*_f", "Hz", "frequency"},
    {"psma-dc", "v", "V", "voltage"},
    {"psma-dc", "i", "A", "current"},
    {"", "*_alert", "", ""},  // a state value: no unit
};

const KeyClass* ClassOf(const std::string& type, const std::string& key) {
  for (const auto& row : kKeyClasses) {
    if ((row.type[0] == '\0' || type == row.type) && Matches(row.pattern, key)) return &row;
  }
  return nullptr;
}

std::string AlarmId(const korv::AlarmCheck& c) {
  return fmt::format("{}/{}/{}", c.device, c.device_type, c.key);
}

// A text inside a single-quoted template string.
std::string TemplateText(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

// Available while korv-host is online and the unit answers.
Json::Value Availability(const MqttSettings& settings, unsigned unit) {
  Json::Value list(Json::arrayValue);
  Json::Value status;
  status["topic"] = settings.prefix + "/status";
  list.append(status);
  Json::Value link;
  link["topic"] = fmt::format("{}/{}/link", settings.prefix, unit);
  link["payload_available"] = "answering";
  link["payload_not_available"] = "not answering";
  list.append(link);
  return list;
}

// One Home Assistant device per unit.
Json::Value DeviceOf(const MqttSettings& settings, unsigned unit) {
  Json::Value device;
  device["identifiers"].append(fmt::format("{}_unit_{}", HaId(settings.client_id), unit));
  device["name"] = fmt::format("PSMA unit {} ({})", unit, settings.prefix);
  device["model"] = "psma";
  return device;
}

std::once_flag library_once;

}  // namespace

bool ParseMqttUrl(const std::string& url, MqttSettings& settings, std::string& error) {
  const auto bad = [&](const std::string& why) {
    error = "--mqtt " + url + ": " + why + " (mqtt://host[:port] or mqtts://host[:port])";
    return false;
  };
  std::string rest;
  bool tls = false;
  if (url.rfind("mqtt://", 0) == 0) {
    rest = url.substr(7);
  } else if (url.rfind("mqtts://", 0) == 0) {
    rest = url.substr(8);
    tls = true;
  } else {
    return bad("unknown scheme");
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  korv::HostPort split;
  switch (korv::SplitHostPort(rest, split)) {
    case korv::HostPortFault::kNone:
      break;
    case korv::HostPortFault::kNoClosingBracket:
      return bad("no ']'");
    case korv::HostPortFault::kTextAfterBracket:
      return bad("text after ']'");
    case korv::HostPortFault::kBareIpv6:
      return bad("an IPv6 address goes in brackets");
    case korv::HostPortFault::kBadPort:
      return bad("bad port");
  }
  if (split.has_port && split.port == 0) return bad("bad port");
  const std::string& host = split.host;
  int port = tls ? 8883 : 1883;
  if (split.has_port) port = static_cast<int>(split.port);
  if (host.empty()) return bad("no host");
  if (host.find_first_of("/@?# ") != std::string::npos) return bad("bad host");
  settings.host = host;
  settings.port = port;
  settings.tls = tls;
  return true;
}

bool ReadMqttCredentials(const std::string& path, MqttSettings& settings, std::string& error) {
  std::ifstream in(path);
  std::string user, password;
  if (!in || !std::getline(in, user)) {
    error = "cannot read the MQTT credentials file " + path;
    return false;
  }
  std::getline(in, password);
  for (std::string* s : {&user, &password}) {
    if (!s->empty() && s->back() == '\r') s->pop_back();
  }
  if (user.empty()) {
    error = "the MQTT credentials file " + path + " has no user name on its first line";
    return false;
  }
  settings.username = user;
  settings.password = password;
  return true;
}

std::string DefaultMqttPrefix() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "psma/korv-host";
  return "psma/" + Level(name);
}

std::string MqttClientId(const std::string& prefix) { return "korv-host-" + HaId(prefix); }

MqttOutput::MqttOutput(MqttSettings settings) : settings_(std::move(settings)) {}

MqttOutput::~MqttOutput() {
  if (client_ == nullptr) return;
  PutEvent(settings_.prefix + "/status", kOffline, true);
  if (Connected()) Drain(std::chrono::seconds(2));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  if (publisher_.joinable()) publisher_.join();
  mosquitto_disconnect(client_);
  mosquitto_loop_stop(client_, false);
  mosquitto_destroy(client_);
}

bool MqttOutput::Start(std::string& error) {
  std::call_once(library_once, [] { mosquitto_lib_init(); });
  if (settings_.tls) {
    std::ifstream ca(settings_.ca_file);
    if (settings_.ca_file.empty() || !ca) {
      error = settings_.ca_file.empty() ? "mqtts:// needs --mqtt-ca FILE"
                                        : "cannot read the MQTT CA file " + settings_.ca_file;
      return false;
    }
  }
  client_ = mosquitto_new(settings_.client_id.c_str(), true, this);
  if (client_ == nullptr) {
    error = std::string("cannot make the MQTT client: ") + std::strerror(errno);
    return false;
  }
  const std::string status = settings_.prefix + "/status";
  int rc = mosquitto_will_set(client_, status.c_str(), static_cast<int>(std::strlen(kOffline)),
                              kOffline, kQos1, true);
  if (rc == MOSQ_ERR_SUCCESS && !settings_.username.empty()) {
    rc = mosquitto_username_pw_set(
        client_, settings_.username.c_str(),
        settings_.password.empty() ? nullptr : settings_.password.c_str());
  }
  if (rc == MOSQ_ERR_SUCCESS && settings_.tls) {
    rc = mosquitto_tls_set(client_, settings_.ca_file.c_str(), nullptr, nullptr, nullptr, nullptr);
  }
  if (rc == MOSQ_ERR_SUCCESS) {
    // Small packets go at once: an alarm event waits for no earlier PUBACK.
    rc = mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
  }
  if (rc == MOSQ_ERR_SUCCESS) {
    rc = mosquitto_reconnect_delay_set(client_, static_cast<unsigned>(settings_.reconnect_min_s),
                                       static_cast<unsigned>(settings_.reconnect_max_s), true);
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    error = std::string("cannot set up the MQTT client: ") + mosquitto_strerror(rc);
    return false;
  }
  mosquitto_connect_callback_set(client_, &MqttOutput::OnConnect);
  mosquitto_disconnect_callback_set(client_, &MqttOutput::OnDisconnect);
  mosquitto_publish_callback_set(client_, &MqttOutput::OnPublish);
  PutRetained(status, kOnline, true);
  // The network thread first: it reconnects to a broker that is away now
  // (started after a failed connect, it would end at once).
  rc = mosquitto_loop_start(client_);
  if (rc != MOSQ_ERR_SUCCESS) {
    error = std::string("cannot start the MQTT client: ") + mosquitto_strerror(rc);
    return false;
  }
  mosquitto_connect_async(client_, settings_.host.c_str(), settings_.port, kKeepAliveS);
  publisher_ = std::thread([this] { Publish(); });
  return true;
}

// --- What the site tells: queued, never sent from here. ---

void MqttOutput::OnValues(const ChildValues& v) {
  if (v.values.empty()) return;  // a child that serves no values (the rectifier group)
  const std::string base =
      fmt::format("{}/{}/{}/{}/", settings_.prefix, v.unit, Level(v.type), v.device);
  for (const auto& [key, value] : v.values) {
    PutRetained(base + Level(key), fmt::format("{:g}", value), false);
  }
  PutRetained(base + "source", SourceName(v.source), false);
  if (settings_.discovery) Discover(v);
}

void MqttOutput::OnUnitAlarm(unsigned unit, const korv::AlarmCheck& check) {
  const std::string event = AlarmJson(check);
  const std::string topic = fmt::format("{}/{}/", settings_.prefix, unit);
  PutEvent(topic + "alarm", event, false);
  std::string set = "[";
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& active = active_[unit];
    if (check.transition == korv::AlarmTransition::Raised) {
      active[AlarmId(check)] = event;
    } else {
      active.erase(AlarmId(check));
    }
    for (const auto& [id, raised] : active) set += (set.size() > 1 ? "," : "") + raised;
  }
  PutRetained(topic + "alarms", set + "]", true);
  if (settings_.discovery) DiscoverAlarm(unit, check);
}

void MqttOutput::OnLinkState(unsigned device, bool answering, const std::string&) {
  PutRetained(fmt::format("{}/{}/link", settings_.prefix, device),
              answering ? "answering" : "not answering", true);
}

// --- Home Assistant discovery ---

void MqttOutput::Discover(const ChildValues& v) {
  Json::Value availability, device;  // made for the first new key
  for (const auto& [key, value] : v.values) {
    const std::string object = HaId(fmt::format("u{}_{}_{}_{}", v.unit, v.type, v.device, key));
    const std::string topic =
        fmt::format("{}/sensor/{}/{}/config", kDiscoveryPrefix, HaId(settings_.client_id), object);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!discovered_.insert(topic).second) continue;
    }
    if (availability.isNull()) {
      availability = Availability(settings_, v.unit);
      device = DeviceOf(settings_, v.unit);
    }
    Json::Value config;
    config["name"] = fmt::format("{} {} {}", v.type, v.device, key);
    config["unique_id"] = HaId(settings_.client_id) + "_" + object;
    config["object_id"] = HaId(settings_.prefix) + "_" + object;
    config["state_topic"] = fmt::format("{}/{}/{}/{}/{}", settings_.prefix, v.unit, Level(v.type),
                                        v.device, Level(key));
    if (const KeyClass* c = ClassOf(v.type, key); c != nullptr && c->unit[0] != '\0') {
      config["unit_of_measurement"] = c->unit;
      config["device_class"] = c->device_class;
      config["state_class"] = "measurement";
    }
    config["availability"] = availability;
    config["availability_mode"] = "all";
    config["device"] = device;
    PutRetained(topic, Compact(config), true);
  }
}

void MqttOutput::DiscoverAlarm(unsigned unit, const korv::AlarmCheck& c) {
  const std::string object =
      HaId(fmt::format("u{}_{}_{}_{}_alarm", unit, c.device_type, c.device, c.key));
  const std::string topic = fmt::format("{}/binary_sensor/{}/{}/config", kDiscoveryPrefix,
                                        HaId(settings_.client_id), object);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!discovered_.insert(topic).second) return;
  }
  Json::Value config;
  config["name"] =
      fmt::format("{} {} {}", c.device_type, c.device, c.name.empty() ? c.key : c.name);
  config["unique_id"] = HaId(settings_.client_id) + "_" + object;
  config["object_id"] = HaId(settings_.prefix) + "_" + object;
  config["device_class"] = "problem";
  // On while the unit's active set holds the alarm.
  config["state_topic"] = fmt::format("{}/{}/alarms", settings_.prefix, unit);
  config["value_template"] = fmt::format(
      "{{{{ 'ON' if value_json | selectattr('device', 'eq', {}) | selectattr('type', 'eq', '{}') "
      "| selectattr('key', 'eq', '{}') | list | count > 0 else 'OFF' }}}}",
      c.device, TemplateText(c.device_type), TemplateText(c.key));
  config["availability"] = Availability(settings_, unit);
  config["availability_mode"] = "all";
  config["device"] = DeviceOf(settings_, unit);
  PutRetained(topic, Compact(config), true);
}

// --- The queue ---

std::size_t MqttOutput::QueuedLocked() const {
  return values_.size() + states_.size() + events_.size();
}

bool MqttOutput::MakeRoom(bool event) {
  if (QueuedLocked() < settings_.queue_limit) return true;
  for (auto* list : {&values_, &states_}) {
    if (!list->empty()) {
      waiting_.erase(list->front().topic);
      list->pop_front();
      ++dropped_;
      return true;
    }
  }
  // Only alarm events are left: the oldest the broker does not have yet
  // gives way to a newer event. A state finds no room then; the site's state
  // is told again on the next connect.
  if (!event) return false;
  for (auto it = events_.begin(); it != events_.end(); ++it) {
    if (it->mid < 0 && !it->sending) {
      events_.erase(it);
      ++dropped_;
      return true;
    }
  }
  return false;
}

void MqttOutput::PutRetained(const std::string& topic, const std::string& payload, bool state) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state) retained_states_[topic] = payload;
    const auto waiting = waiting_.find(topic);
    if (waiting != waiting_.end()) {
      waiting->second->payload = payload;  // the latest replaces what has not gone yet
      return;
    }
    if (!MakeRoom(false)) {
      ++dropped_;
      return;
    }
    auto& list = state ? states_ : values_;
    list.push_back({topic, payload, state});
    waiting_[topic] = std::prev(list.end());
    if (!publisher_idle_) return;  // it gathers a batch and takes this with it
  }
  cv_.notify_all();
}

void MqttOutput::PutEvent(const std::string& topic, const std::string& payload, bool retain) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!MakeRoom(true)) {
      ++dropped_;
      return;
    }
    events_.push_back({topic, payload, retain});
    if (!publisher_idle_) return;
  }
  cv_.notify_all();
}

std::size_t MqttOutput::Waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return QueuedLocked();
}

std::size_t MqttOutput::Dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

bool MqttOutput::Connected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connected_;
}

bool MqttOutput::Drain(std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, limit, [this] { return QueuedLocked() == 0; });
}

// --- The publishing thread and libmosquitto's callbacks ---

void MqttOutput::Publish() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const auto ready = [this] {
      if (stop_) return true;
      if (!connected_) return false;
      if (!values_.empty() || !states_.empty()) return true;
      std::size_t in_flight = 0;
      for (const auto& e : events_) {
        if (e.mid < 0 && !e.sending) return in_flight < kEventsInFlight;
        ++in_flight;
      }
      return false;
    };
    publisher_idle_ = true;
    cv_.wait(lock, ready);
    publisher_idle_ = false;
    if (stop_) return;
    // What the next moments bring goes out with this: one wake of this thread
    // and of libmosquitto's a batch, not one a value (each costs more than
    // the publishing itself).
    cv_.wait_for(lock, kBatchWindow, [this] { return stop_; });
    if (stop_) return;
    std::vector<Retained> retained;
    for (auto* list : {&states_, &values_}) {
      for (auto& r : *list) retained.push_back(std::move(r));
      list->clear();
    }
    waiting_.clear();
    std::vector<Event*> events;
    std::size_t in_flight = 0;
    for (auto& e : events_) {
      if (in_flight++ >= kEventsInFlight) break;
      if (e.mid < 0 && !e.sending) {
        e.sending = true;
        events.push_back(&e);  // a list's elements stay where they are
      }
    }
    lock.unlock();
    // The PUBACK of an event cannot be handled before its mid is noted.
    std::lock_guard<std::mutex> mids(mid_mutex_);
    // States at QoS 1 (libmosquitto keeps them across a reconnect); values
    // at QoS 0: the next round brings newer ones.
    for (const auto& r : retained) {
      mosquitto_publish(client_, nullptr, r.topic.c_str(), static_cast<int>(r.payload.size()),
                        r.payload.data(), r.state ? kQos1 : kQos0, true);
    }
    std::vector<int> sent;
    for (Event* e : events) {
      int mid = -1;
      const int rc =
          mosquitto_publish(client_, &mid, e->topic.c_str(), static_cast<int>(e->payload.size()),
                            e->payload.data(), kQos1, e->retain);
      sent.push_back(rc == MOSQ_ERR_SUCCESS ? mid : -1);
    }
    lock.lock();
    for (std::size_t k = 0; k < events.size(); ++k) {
      events[k]->sending = false;
      events[k]->mid = sent[k];
    }
    cv_.notify_all();
  }
}

void MqttOutput::OnConnect(mosquitto*, void* self, int rc) {
  auto* out = static_cast<MqttOutput*>(self);
  if (rc != 0) return;
  {
    std::lock_guard<std::mutex> lock(out->mutex_);
    out->connected_ = true;
    // A broker that lost its retained messages hears the site's state again
    // (a few messages a unit, past the bound if need be).
    out->retained_states_[out->settings_.prefix + "/status"] = kOnline;
    for (const auto& [topic, payload] : out->retained_states_) {
      if (out->waiting_.count(topic) > 0) continue;
      out->states_.push_back({topic, payload, true});
      out->waiting_[topic] = std::prev(out->states_.end());
    }
  }
  out->cv_.notify_all();
}

void MqttOutput::OnDisconnect(mosquitto*, void* self, int) {
  auto* out = static_cast<MqttOutput*>(self);
  std::lock_guard<std::mutex> lock(out->mutex_);
  out->connected_ = false;
}

void MqttOutput::OnPublish(mosquitto*, void* self, int mid) {
  auto* out = static_cast<MqttOutput*>(self);
  {
    std::lock_guard<std::mutex> mids(out->mid_mutex_);
    std::lock_guard<std::mutex> lock(out->mutex_);
    const auto it = std::find_if(out->events_.begin(), out->events_.end(),
                                 [mid](const Event& e) { return e.mid == mid; });
    if (it != out->events_.end()) out->events_.erase(it);
  }
  out->cv_.notify_all();
}

}  // namespace korv_host
