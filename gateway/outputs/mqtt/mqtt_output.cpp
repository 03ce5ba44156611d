#include "gateway/outputs/mqtt/mqtt_output.h"

#include <fmt/format.h>
#include <json/value.h>
#include <json/writer.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netdb.h>
#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <utility>

#include "gateway/core/field_text.h"
#include "gateway/core/journal.h"
#include "gateway/core/json_text.h"
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
// A stop gives what waits this long to go out.
constexpr std::chrono::seconds kStopDrain{2};
// The sweep of the retained topics of units gone from the site collects until
// the broker has sent none for kSweepQuiet (kSweepLongest at most), and
// clears at most kSweepMost topics a go: another go takes the rest.
constexpr std::chrono::milliseconds kSweepQuiet{1000};
constexpr std::chrono::seconds kSweepLongest{10};
constexpr std::size_t kSweepMost = 2000;
constexpr const char* kOnline = "online";
constexpr const char* kOffline = "offline";
constexpr const char* kDiscoveryPrefix = "homeassistant";
// What Home Assistant shows as the maker of the units and the origin of the
// discovery messages.
constexpr const char* kManufacturer = "korv";
constexpr const char* kOrigin = "korv-host";
#ifndef KORV_VERSION
#define KORV_VERSION "0"
#endif

// One level of a topic: the broker's separators and wildcards become '_'.
std::string Level(const std::string& s) {
  std::string out = s.empty() ? "_" : s;
  for (char& c : out) {
    if (c == '/' || c == '+' || c == '#' || c == '\0') c = '_';
  }
  return out;
}

bool IsAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// One part of an id Home Assistant takes ([a-zA-Z0-9_-]), free of
// collisions: the text itself when it begins with a letter or a digit and
// holds only those and `extra`, else '-' and its bytes in hex. The two forms
// never meet (only the second begins with '-'), and a part made with '-' as
// `extra` never holds '_', so '_' can join such parts.
std::string IdPart(const std::string& s, char extra) {
  bool plain = !s.empty() && IsAlnum(s.front());
  for (char c : s) plain = plain && (IsAlnum(c) || c == extra);
  if (plain) return s;
  std::string out = "-";
  for (unsigned char c : s) out += fmt::format("{:02x}", c);
  return out;
}

// The object id of a child's key: its unit, type and device, then the key
// (the one part that may hold '_', so it comes last).
std::string ObjectId(unsigned unit, const std::string& type, unsigned device,
                     const std::string& key) {
  // A field's name reads on in its id: its dots become '_' (no two fields
  // of one child differ only there).
  std::string part = key;
  std::replace(part.begin(), part.end(), '.', '_');
  return fmt::format("u{}_{}_{}_{}", unit, IdPart(type, '-'), device, IdPart(part, '_'));
}

// An entity id Home Assistant suggests from: lower case, [a-z0-9_].
std::string Slug(const std::string& s) {
  std::string out;
  for (char c : s) {
    out += IsAlnum(c) ? static_cast<char>(std::tolower(static_cast<unsigned char>(c))) : '_';
  }
  return out;
}

// The machine's id (systemd's, else D-Bus's), else its host name.
std::string MachineId() {
  for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    std::ifstream in(path);
    std::string id;
    if (in && std::getline(in, id) && id.size() >= 16 &&
        id.find_first_not_of("0123456789abcdef") == std::string::npos) {
      return id.substr(0, 16);  // 64 bits tell machines apart
    }
  }
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "-";
  return IdPart(name, '-');
}

std::string Compact(const Json::Value& v) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, v);
}

// An alarm as the host tells it apart: its device, key and description.
std::string AlarmId(const korv::AlarmCheck& c) {
  return fmt::format("{}/{}/{}/{}", c.device, c.device_type, c.key, c.description);
}

// A short stable id of a text (FNV-1a, 64 bits), for the object id of an
// alarm whose description tells it from its key's other alarms.
std::string TextId(const std::string& s) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : s) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  return fmt::format("{:016x}", h);
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
  // A unit that answers but completes no round has no fresh values either.
  link["value_template"] = "{{ 'answering' if value == 'answering' else 'not answering' }}";
  list.append(link);
  return list;
}

// One Home Assistant device per unit.
Json::Value DeviceOf(const MqttSettings& settings, unsigned unit) {
  Json::Value device;
  device["identifiers"].append(fmt::format("{}_unit_{}", MqttSiteId(settings.prefix), unit));
  device["name"] = fmt::format("PSMA unit {} ({})", unit, settings.prefix);
  device["manufacturer"] = kManufacturer;
  device["model"] = "psma";
  device["sw_version"] = KORV_VERSION;
  return device;
}

// The application that sends the discovery messages.
Json::Value Origin() {
  Json::Value origin;
  origin["name"] = kOrigin;
  origin["sw_version"] = KORV_VERSION;
  return origin;
}

// The URL as it may be shown: a user name and password before '@' hidden.
std::string Shown(const std::string& url) {
  const std::size_t scheme = url.find("://");
  const std::size_t at = url.rfind('@');
  if (scheme == std::string::npos || at == std::string::npos || at < scheme) return url;
  return url.substr(0, scheme + 3) + "***" + url.substr(at);
}

std::once_flag library_once;

// libmosquitto's reason for `rc`, with `error` (errno where it met it): the
// system's text for a system error, the resolver's for a name not found.
std::string Reason(int rc, int error) {
  std::string text = rc == MOSQ_ERR_ERRNO ? std::strerror(error) : mosquitto_strerror(rc);
  while (!text.empty() && text.back() == '.') text.pop_back();
  if (rc == MOSQ_ERR_EAI) text += std::string(": ") + ::gai_strerror(error);
  return text;
}

// A data id as a topic level writes it: decimal, no leading zero.
std::optional<unsigned> IdOf(const std::string& s) {
  if (s.empty() || s.size() > 10 || (s.size() > 1 && s[0] == '0') ||
      s.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const unsigned long long id = std::stoull(s);
  if (id > UINT_MAX) return std::nullopt;
  return static_cast<unsigned>(id);
}

std::vector<std::string> LevelsOf(const std::string& topic) {
  std::vector<std::string> levels;
  std::size_t at = 0;
  for (std::size_t slash; (slash = topic.find('/', at)) != std::string::npos; at = slash + 1) {
    levels.push_back(topic.substr(at, slash - at));
  }
  levels.push_back(topic.substr(at));
  return levels;
}

}  // namespace

bool ParseMqttUrl(const std::string& url, MqttSettings& settings, std::string& error) {
  const auto bad = [&](const std::string& why) {
    error = "--mqtt " + Shown(url) + ": " + why + " (mqtt://host[:port] or mqtts://host[:port])";
    return false;
  };
  if (Shown(url) != url) {
    // On the command line, every user of the machine could read them.
    return bad("no credentials in the URL: --mqtt-credentials FILE, or the environment");
  }
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

void TakeMqttEnvironment(MqttSettings& settings) {
  const char* user = std::getenv("KORV_MQTT_USERNAME");
  char* password = std::getenv("KORV_MQTT_PASSWORD");
  if (user != nullptr) {
    settings.username = user;
    settings.password = password != nullptr ? password : "";
  }
  if (password != nullptr) {
    // unsetenv alone leaves the text where the environment began.
    ::explicit_bzero(password, std::strlen(password));
    ::unsetenv("KORV_MQTT_PASSWORD");
  }
}

std::string DefaultMqttPrefix() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "psma/korv-host";
  return "psma/" + Level(name);
}

bool CheckMqttPrefix(const std::string& prefix, std::string& error) {
  const auto bad = [&](const char* why) {
    error = "--mqtt-prefix " + prefix + ": " + why;
    return false;
  };
  if (prefix.empty()) return bad("empty");
  if (prefix.front() == '$') return bad("begins with '$' (the broker's own topics)");
  if (prefix.find_first_of(std::string("+#\0", 3)) != std::string::npos) {
    return bad("holds '+', '#' or NUL");
  }
  if (prefix.front() == '/' || prefix.find("//") != std::string::npos) {
    return bad("holds an empty level");
  }
  return true;
}

std::string MqttSiteId(const std::string& prefix) {
  std::string id = "korv-host-";
  std::size_t at = 0;
  for (;;) {
    const std::size_t slash = prefix.find('/', at);
    id += IdPart(prefix.substr(at, slash - at), '-');
    if (slash == std::string::npos) break;
    id += '_';
    at = slash + 1;
  }
  return id;
}

std::string MqttClientId(const std::string& prefix) {
  return MqttSiteId(prefix) + "-" + MachineId();
}

MqttOutput::MqttOutput(MqttSettings settings)
    : settings_(std::move(settings)), restart_delay_(settings_.reconnect_min_s) {
  if (settings_.units) {
    units_ = *settings_.units;
    sweep_ = Sweep::kDue;
  }
}

MqttOutput::~MqttOutput() {
  if (client_ == nullptr) return;
  PutEvent(settings_.prefix + "/status", kOffline, true);
  const auto now = std::chrono::steady_clock::now();
  {
    // A sweep due or under way (a short run) gets half the stop's time: what
    // it collected by then is cleared with the rest.
    std::unique_lock<std::mutex> lock(mutex_);
    sweep_by_ = now + kStopDrain / 2;
    if (sweep_ == Sweep::kCollecting) sweep_end_ = std::min(sweep_end_, sweep_by_);
    cv_.notify_all();
    cv_.wait_until(lock, sweep_by_, [this] {
      return !connected_ || (sweep_ != Sweep::kDue && sweep_ != Sweep::kCollecting);
    });
  }
  const auto left = now + kStopDrain - std::chrono::steady_clock::now();
  if (Connected()) Drain(std::chrono::duration_cast<std::chrono::milliseconds>(left));
  const bool connected = Connected();
  std::size_t undelivered = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    // The alarm events; the last `offline` is retained, and the will says it.
    for (const auto& e : events_) undelivered += e.retain ? 0 : 1;
  }
  if (undelivered > 0) {
    Tell(LOG_WARNING, fmt::format("mqtt: {} events not delivered: the broker {} {}", undelivered,
                                  Broker(), connected ? "did not acknowledge them" : "is away"));
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
    rc = mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, settings_.protocol);
    protocol_ = settings_.protocol;
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
  mosquitto_connect_v5_callback_set(client_, &MqttOutput::OnConnect);
  mosquitto_disconnect_v5_callback_set(client_, &MqttOutput::OnDisconnect);
  mosquitto_publish_v5_callback_set(client_, &MqttOutput::OnPublish);
  mosquitto_log_callback_set(client_, &MqttOutput::OnLog);
  mosquitto_subscribe_callback_set(client_, &MqttOutput::OnSubscribe);
  mosquitto_message_callback_set(client_, &MqttOutput::OnMessage);
  PutRetained(status, kOnline, true);
  // The network thread first: it reconnects to a broker that is away now
  // (started after a failed connect, it would end at once).
  rc = mosquitto_loop_start(client_);
  if (rc != MOSQ_ERR_SUCCESS) {
    error = std::string("cannot start the MQTT client: ") + mosquitto_strerror(rc);
    return false;
  }
  rc = mosquitto_connect_async(client_, settings_.host.c_str(), settings_.port, kKeepAliveS);
  // A broker away now is no error: the network thread tries again.
  if (rc != MOSQ_ERR_SUCCESS) Away(Reason(rc, errno));
  publisher_ = std::thread([this] {
    ::pthread_setname_np(::pthread_self(), "korv-mqtt");
    Publish();
  });
  return true;
}

// --- What the site tells: queued, never sent from here. ---

void MqttOutput::OnRound(unsigned unit, const RoundEvent&) {
  std::string set;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    units_.insert(unit);
    if (!rounded_.insert(unit).second) return;
    set = ActiveSetLocked(unit);
  }
  // The broker may still hold the set of an earlier run, which told alarms
  // this run's first round no longer finds.
  PutRetained(fmt::format("{}/{}/alarms", settings_.prefix, unit), set, true);
}

std::string MqttOutput::ActiveSetLocked(unsigned unit) const {
  std::string set = "[";
  const auto active = active_.find(unit);
  if (active != active_.end()) {
    for (const auto& [id, raised] : active->second) set += (set.size() > 1 ? "," : "") + raised;
  }
  return set + "]";
}

void MqttOutput::OnValues(unsigned unit, const ValuesEvent& v) {
  if (!v.description || !v.description->layout) return;
  const psma::BlockLayout& layout = *v.description->layout;
  const std::string base =
      fmt::format("{}/{}/{}/{}/", settings_.prefix, unit, Level(v.type), v.device);
  // A value exactly, a state as its word; an absent value clears its topic.
  std::vector<std::pair<std::string, std::string>> put;
  {
    // Noted, so that a removed unit's topics can be cleared.
    std::lock_guard<std::mutex> lock(mutex_);
    units_.insert(unit);
    auto& known = value_topics_[unit];
    const auto note = [&](std::string topic, std::string payload) {
      auto [it, added] = known.try_emplace(topic, payload);
      if (!added && it->second == payload) return;
      it->second = payload;
      put.emplace_back(std::move(topic), std::move(payload));
    };
    for (const auto& f : v.fields) {
      note(base + Level(FieldName(layout, f)), FieldOf(layout, f).type == psma::FieldType::kU8
                                                   ? FieldWord(layout, f)
                                                   : FieldExact(layout, f));
    }
    note(base + "source", SourceName(v.source));
  }
  for (const auto& [topic, payload] : put) PutRetained(topic, payload, false);
  if (settings_.discovery) Discover(unit, v);
}

void MqttOutput::OnAlarm(unsigned unit, const AlarmEvent& check) {
  const std::string event = AlarmJson(check);
  const std::string topic = fmt::format("{}/{}/", settings_.prefix, unit);
  PutEvent(topic + "alarm", event, false);
  std::string set;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    units_.insert(unit);
    auto& active = active_[unit];
    if (check.transition == korv::AlarmTransition::Raised) {
      active[AlarmId(check)] = event;
    } else {
      active.erase(AlarmId(check));
    }
    set = ActiveSetLocked(unit);
  }
  PutRetained(topic + "alarms", set, true);
  if (settings_.discovery) DiscoverAlarm(unit, check);
}

void MqttOutput::OnLinkState(unsigned unit, const LinkEvent& event) {
  {
    // A unit the site gained (a reload) is no unit gone to the sweep.
    std::lock_guard<std::mutex> lock(mutex_);
    units_.insert(unit);
  }
  PutRetained(fmt::format("{}/{}/link", settings_.prefix, unit),
              !event.answering ? "not answering"
              : event.no_round ? "no round"
                               : "answering",
              true);
}

void MqttOutput::OnUnitRemoved(unsigned unit, const UnitRemovedEvent&) {
  std::set<std::string> topics = {fmt::format("{}/{}/link", settings_.prefix, unit),
                                  fmt::format("{}/{}/alarms", settings_.prefix, unit)};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto values = value_topics_.find(unit);
    if (values != value_topics_.end()) {
      for (const auto& [topic, payload] : values->second) topics.insert(topic);
      value_topics_.erase(values);
    }
    const auto known = discovered_.find(unit);
    if (known != discovered_.end()) {
      topics.insert(known->second.begin(), known->second.end());
      discovered_.erase(known);
    }
    active_.erase(unit);
    rounded_.erase(unit);
    units_.erase(unit);
  }
  for (const auto& topic : topics) PutRetained(topic, "", true);
  // Nothing of the unit is told again on a later connect.
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& topic : topics) retained_states_.erase(topic);
}

// --- Home Assistant discovery ---

void MqttOutput::Discover(unsigned unit, const ValuesEvent& v) {
  const psma::BlockLayout& layout = *v.description->layout;
  Json::Value availability, device;  // made for the first new field
  for (const auto& f : v.fields) {
    const psma::FieldLayout& field = FieldOf(layout, f);
    // A value with no unit has no device class Home Assistant knows: its
    // topic is there, but it is no entity.
    if (field.value_class == psma::ValueClass::kNumber) continue;
    const bool state = field.type == psma::FieldType::kU8;
    const std::string name = FieldName(layout, f);
    const std::string object = ObjectId(unit, v.type, v.device, name);
    const std::string site = MqttSiteId(settings_.prefix);
    const std::string topic = fmt::format("{}/sensor/{}/{}/config", kDiscoveryPrefix, site, object);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!discovered_[unit].insert(topic).second) continue;
    }
    if (availability.isNull()) {
      availability = Availability(settings_, unit);
      device = DeviceOf(settings_, unit);
    }
    Json::Value config;
    config["name"] = fmt::format("{} {} {}", v.type, v.device, name);
    config["unique_id"] = fmt::format("{}_{}", site, object);
    config["default_entity_id"] = "sensor." + Slug(fmt::format("{}_{}", settings_.prefix, object));
    config["state_topic"] =
        fmt::format("{}/{}/{}/{}/{}", settings_.prefix, unit, Level(v.type), v.device, Level(name));
    if (state) {
      // A state as its words.
      config["device_class"] = "enum";
      Json::Value& options = config["options"] = Json::Value(Json::arrayValue);
      for (const auto& w : field.states) options.append(w.word);
    } else {
      // A measured value with its unit and Home Assistant's device class of
      // the same name, shown at its resolution.
      config["unit_of_measurement"] = psma::ValueUnit(field.value_class);
      config["device_class"] = psma::ValueClassName(field.value_class);
      config["state_class"] = "measurement";
      config["suggested_display_precision"] = field.Decimals();
    }
    config["availability"] = availability;
    config["availability_mode"] = "all";
    config["device"] = device;
    config["origin"] = Origin();
    PutRetained(topic, Compact(config), true);
  }
}

void MqttOutput::DiscoverAlarm(unsigned unit, const korv::AlarmCheck& c) {
  const std::string object =
      ObjectId(unit, c.device_type, c.device, c.key) + "_" + TextId(c.description) + "_alarm";
  const std::string site = MqttSiteId(settings_.prefix);
  const std::string topic =
      fmt::format("{}/binary_sensor/{}/{}/config", kDiscoveryPrefix, site, object);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!discovered_[unit].insert(topic).second) return;
  }
  Json::Value config;
  config["name"] =
      fmt::format("{} {} {}", c.device_type, c.device,
                  c.description.empty() ? (c.name.empty() ? c.key : c.name) : c.description);
  config["unique_id"] = site + "_" + object;
  config["default_entity_id"] =
      "binary_sensor." + Slug(fmt::format("{}_{}", settings_.prefix, object));
  config["device_class"] = "problem";
  // On while the unit's active set holds the alarm.
  config["state_topic"] = fmt::format("{}/{}/alarms", settings_.prefix, unit);
  config["value_template"] = fmt::format(
      "{{{{ 'ON' if value_json | selectattr('device', 'eq', {}) | selectattr('type', 'eq', '{}') "
      "| selectattr('key', 'eq', '{}') | selectattr('description', 'eq', '{}') | list | count > 0 "
      "else 'OFF' }}}}",
      c.device, TemplateText(c.device_type), TemplateText(c.key), TemplateText(c.description));
  config["availability"] = Availability(settings_, unit);
  config["availability_mode"] = "all";
  config["device"] = DeviceOf(settings_, unit);
  config["origin"] = Origin();
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
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wake = PutRetainedLocked(topic, payload, state);
  }
  if (wake) cv_.notify_all();
}

bool MqttOutput::PutRetainedLocked(const std::string& topic, const std::string& payload,
                                   bool state) {
  if (state) retained_states_[topic] = payload;
  const auto waiting = waiting_.find(topic);
  if (waiting != waiting_.end()) {
    waiting->second->payload = payload;  // the latest replaces what has not gone yet
    return false;
  }
  if (!MakeRoom(false)) {
    ++dropped_;
    return false;
  }
  auto& list = state ? states_ : values_;
  list.push_back({topic, payload, state});
  waiting_[topic] = std::prev(list.end());
  return publisher_idle_;  // else it gathers a batch and takes this with it
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

std::vector<HealthNumber> MqttOutput::Metrics() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {
      {"korv_mqtt_connected", "gauge", "Whether the MQTT broker is connected (1) or not (0).",
       connected_ ? 1.0 : 0.0},
      {"korv_mqtt_queue_messages", "gauge",
       "Messages waiting for the MQTT broker (queued, or not yet acknowledged).",
       static_cast<double>(QueuedLocked())},
      {"korv_mqtt_dropped_messages_total", "counter",
       "Messages dropped because the MQTT queue was full.", static_cast<double>(dropped_)},
      {"korv_mqtt_refused_messages_total", "counter", "Publishes the MQTT broker refused.",
       static_cast<double>(refused_)},
  };
}

bool MqttOutput::Drain(std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, limit, [this] { return QueuedLocked() == 0; });
}

// --- The publishing thread and libmosquitto's callbacks ---

void MqttOutput::Publish() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const auto restart_due = [this] {
      return restart_ && std::chrono::steady_clock::now() >= restart_at_;
    };
    const auto ready = [this, &restart_due] {
      if (stop_ || restart_due() || SweepDueLocked()) return true;
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
    while (!ready()) {
      auto until = std::chrono::steady_clock::time_point::max();
      if (restart_) until = restart_at_;
      if (sweep_ == Sweep::kCollecting && connected_) {
        until = std::min({until, sweep_quiet_, sweep_end_});
      }
      if (until == std::chrono::steady_clock::time_point::max()) {
        cv_.wait(lock);
      } else {
        cv_.wait_until(lock, until);
      }
    }
    publisher_idle_ = false;
    if (stop_) return;
    if (restart_due()) {
      // libmosquitto's network thread ended on a refusal; a new one tries
      // again (the broker's credentials or certificate may be mended).
      restart_ = false;
      lock.unlock();
      // The new thread connects by itself: a connect from here would set up
      // the socket and the TLS session under the running thread, without a
      // lock, and it could hand it a half-made session.
      mosquitto_loop_stop(client_, true);
      mosquitto_loop_start(client_);
      lock.lock();
      continue;
    }
    if (SweepDueLocked()) {
      SweepStep(lock);
      continue;
    }
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
      int mid = -1;
      const int rc =
          mosquitto_publish(client_, &mid, r.topic.c_str(), static_cast<int>(r.payload.size()),
                            r.payload.data(), r.state ? kQos1 : kQos0, true);
      // A state's PUBACK may tell a refusal, which names its topic.
      if (r.state && rc == MOSQ_ERR_SUCCESS && state_mids_.size() < settings_.queue_limit) {
        state_mids_[mid] = r.topic;
      }
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
    // The clears of a sweep went with this batch: the next go finds the rest.
    if (sweep_ == Sweep::kAgain) sweep_ = Sweep::kDue;
    cv_.notify_all();
  }
}

// --- The sweep of units gone ---

bool MqttOutput::SweepDueLocked() const {
  if (!connected_) return false;
  if (sweep_ == Sweep::kDue) return true;
  return sweep_ == Sweep::kCollecting &&
         std::chrono::steady_clock::now() >= std::min(sweep_quiet_, sweep_end_);
}

void MqttOutput::SweepStep(std::unique_lock<std::mutex>& lock) {
  const std::string own = settings_.prefix + "/+/#";
  const std::string discovery =
      fmt::format("{}/+/{}/+/config", kDiscoveryPrefix, MqttSiteId(settings_.prefix));
  if (sweep_ == Sweep::kDue) {
    sweep_ = Sweep::kCollecting;
    stale_.clear();
    sweep_end_ = std::min(std::chrono::steady_clock::now() + kSweepLongest, sweep_by_);
    sweep_quiet_ = sweep_end_;  // quiet counts from the broker's answer
    lock.unlock();
    // The broker sends what it retains with the retain flag, what is
    // published meanwhile (this output's own messages too) without.
    mosquitto_subscribe(client_, nullptr, own.c_str(), kQos0);
    mosquitto_subscribe(client_, nullptr, discovery.c_str(), kQos0);
    lock.lock();
    return;
  }
  lock.unlock();
  mosquitto_unsubscribe(client_, nullptr, own.c_str());
  mosquitto_unsubscribe(client_, nullptr, discovery.c_str());
  lock.lock();
  for (const auto& topic : stale_) {
    // A unit the site gained meanwhile (a reload) keeps what it put.
    const auto unit = UnitOf(topic);
    if (!unit || units_.count(*unit) > 0) continue;
    PutRetainedLocked(topic, "", true);
    retained_states_.erase(topic);  // nothing of it is told again
  }
  sweep_ = stale_.size() >= kSweepMost ? Sweep::kAgain : Sweep::kDone;
  stale_.clear();
}

std::optional<unsigned> MqttOutput::UnitOf(const std::string& topic) const {
  const std::string own = settings_.prefix + "/";
  if (topic.compare(0, own.size(), own) == 0) {
    // <unit>/link, <unit>/alarms, <unit>/<type>/<device>/<key>: nothing
    // else, so another site's topics below this prefix are no unit's.
    const auto levels = LevelsOf(topic.substr(own.size()));
    const bool layout = (levels.size() == 2 && (levels[1] == "link" || levels[1] == "alarms")) ||
                        (levels.size() == 4 && IdOf(levels[2]));
    return layout ? IdOf(levels[0]) : std::nullopt;
  }
  // homeassistant/<component>/<site>/u<unit>_.../config
  const auto levels = LevelsOf(topic);
  if (levels.size() != 5 || levels[0] != kDiscoveryPrefix ||
      levels[2] != MqttSiteId(settings_.prefix) || levels[4] != "config" ||
      levels[3].rfind('u', 0) != 0) {
    return std::nullopt;
  }
  const std::size_t end = levels[3].find('_');
  return end == std::string::npos ? std::nullopt : IdOf(levels[3].substr(1, end - 1));
}

void MqttOutput::OnSubscribe(mosquitto*, void* self, int, int, const int*) {
  auto* out = static_cast<MqttOutput*>(self);
  {
    std::lock_guard<std::mutex> lock(out->mutex_);
    if (out->sweep_ != Sweep::kCollecting) return;
    out->sweep_quiet_ = std::chrono::steady_clock::now() + kSweepQuiet;
  }
  out->cv_.notify_all();
}

void MqttOutput::OnMessage(mosquitto*, void* self, const mosquitto_message* m) {
  auto* out = static_cast<MqttOutput*>(self);
  if (m == nullptr || m->topic == nullptr || !m->retain) return;
  std::lock_guard<std::mutex> lock(out->mutex_);
  if (out->sweep_ != Sweep::kCollecting) return;
  out->sweep_quiet_ = std::chrono::steady_clock::now() + kSweepQuiet;
  const auto unit = out->UnitOf(m->topic);
  if (unit && out->units_.count(*unit) == 0 && out->stale_.size() < kSweepMost) {
    out->stale_.insert(m->topic);
  }
}

void MqttOutput::TellOnce(const std::string& text, bool outage) {
  {
    std::lock_guard<std::mutex> lock(tell_mutex_);
    if (outage) outage_ = text;
    if (text == last_told_) return;
    last_told_ = text;
  }
  Tell(LOG_WARNING, text);
}

void MqttOutput::Tell(int priority, const std::string& text) const {
  if (settings_.tell) {
    settings_.tell(priority, text);
  } else {
    Say(priority, text);
  }
}

void MqttOutput::Away(const std::string& reason) {
  const std::string line = fmt::format("mqtt: the broker {} is away: {}", Broker(), reason);
  {
    std::lock_guard<std::mutex> lock(tell_mutex_);
    if (!outage_.empty()) return;  // this outage was told
    outage_ = line;
  }
  Tell(LOG_WARNING, line + "; korv-host keeps trying");
}

std::string MqttOutput::Broker() const {
  return fmt::format("{}:{}", settings_.host, settings_.port);
}

std::string MqttOutput::Outage() const {
  std::lock_guard<std::mutex> lock(tell_mutex_);
  return outage_;
}

void MqttOutput::RestartLater() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (restart_) return;
    restart_ = true;
    restart_at_ = std::chrono::steady_clock::now() + restart_delay_;
    restart_delay_ = std::min(restart_delay_ * 2, std::chrono::seconds(settings_.reconnect_max_s));
  }
  cv_.notify_all();
}

void MqttOutput::OnConnect(mosquitto* client, void* self, int rc, int, const mosquitto_property*) {
  auto* out = static_cast<MqttOutput*>(self);
  const std::string broker = out->Broker();
  if (rc != 0) {
    const bool v5 = out->protocol_ == MQTT_PROTOCOL_V5;
    if (v5 && rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION) {
      // A broker of MQTT 3.1.1 only: spoken to in its own version from the
      // next attempt on.
      {
        std::lock_guard<std::mutex> lock(out->tell_mutex_);
        out->version_changed_ = true;
      }
      out->protocol_ = MQTT_PROTOCOL_V311;
      mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    } else {
      out->TellOnce(fmt::format("mqtt: the broker {} refused the connection: {}", broker,
                                v5 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc)),
                    true);
    }
    // An MQTT 5 refusal ends libmosquitto's network thread (a 3.1.1 one it
    // retries itself).
    if (v5) out->RestartLater();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(out->tell_mutex_);
    out->last_told_.clear();  // a later refusal is told again
    out->tls_told_ = false;
    out->outage_.clear();
    out->version_changed_ = false;
  }
  {
    std::lock_guard<std::mutex> lock(out->mutex_);
    out->connected_ = true;
    out->restart_delay_ = std::chrono::seconds(out->settings_.reconnect_min_s);
    // A broker that lost its retained messages hears the site's state again
    // (a few messages a unit, past the bound if need be).
    out->retained_states_[out->settings_.prefix + "/status"] = kOnline;
    // After a reconnect, each value once more with the next round (no
    // payload is a line feed): the broker may have lost what it retained.
    // The first connection takes what waits for it.
    if (out->connected_once_) {
      for (auto& [unit, topics] : out->value_topics_) {
        for (auto& [topic, payload] : topics) payload = "\n";
      }
    }
    out->connected_once_ = true;
    for (const auto& [topic, payload] : out->retained_states_) {
      if (out->waiting_.count(topic) > 0) continue;
      out->states_.push_back({topic, payload, true});
      out->waiting_[topic] = std::prev(out->states_.end());
    }
    // A sweep the connection's loss cut short starts again.
    if (out->sweep_ == Sweep::kCollecting) out->sweep_ = Sweep::kDue;
  }
  out->cv_.notify_all();
  out->Tell(LOG_NOTICE, "mqtt: connected to the broker " + broker);
}

void MqttOutput::OnDisconnect(mosquitto*, void* self, int rc, const mosquitto_property*) {
  const int error = errno;  // what the network thread met, before anything changes it
  auto* out = static_cast<MqttOutput*>(self);
  {
    std::lock_guard<std::mutex> lock(out->mutex_);
    out->connected_ = false;
    if (rc == MOSQ_ERR_SUCCESS || out->stop_) return;  // asked for
  }
  {
    std::lock_guard<std::mutex> lock(out->tell_mutex_);
    // A refusal told is this outage's start already (outage_), and the
    // refusal of MQTT 5 by a broker of 3.1.1 no outage at all.
    const bool version_changed = out->version_changed_;
    out->version_changed_ = false;
    if (version_changed) return;
  }
  out->Away(Reason(rc, error));
}

void MqttOutput::OnPublish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*) {
  auto* out = static_cast<MqttOutput*>(self);
  std::string topic;
  {
    std::lock_guard<std::mutex> mids(out->mid_mutex_);
    std::lock_guard<std::mutex> lock(out->mutex_);
    const auto state = out->state_mids_.find(mid);
    if (state != out->state_mids_.end()) {
      topic = state->second;
      out->state_mids_.erase(state);
    }
    // A refused event leaves too: sent again, it would be refused again.
    const auto it = std::find_if(out->events_.begin(), out->events_.end(),
                                 [mid](const Event& e) { return e.mid == mid; });
    if (it != out->events_.end()) {
      topic = it->topic;
      out->events_.erase(it);
    }
    if (reason >= MQTT_RC_UNSPECIFIED) ++out->refused_;
  }
  out->cv_.notify_all();
  if (reason >= MQTT_RC_UNSPECIFIED) {
    {
      // Once a reason: a prefix the broker denies is refused every publish.
      std::lock_guard<std::mutex> lock(out->tell_mutex_);
      if (!out->refusals_told_.insert(reason).second) return;
    }
    out->TellOnce(fmt::format("mqtt: the broker {} refused a publish to {}: {}", out->Broker(),
                              topic, mosquitto_reason_string(reason)));
  }
}

void MqttOutput::OnLog(mosquitto*, void* self, int level, const char* text) {
  // libmosquitto tells a failed TLS handshake only here.
  static constexpr const char kTls[] = "OpenSSL Error";
  if (level != MOSQ_LOG_ERR || text == nullptr || std::strstr(text, kTls) == nullptr) return;
  auto* out = static_cast<MqttOutput*>(self);
  const bool unverified = std::strstr(text, "certificate verify failed") != nullptr;
  {
    // One failed handshake logs a few OpenSSL lines: the first tells it, and
    // the rest of this outage is the same fault.
    std::lock_guard<std::mutex> lock(out->tell_mutex_);
    const bool told = out->tls_told_;
    out->tls_told_ = true;
    if (told && !unverified) return;
  }
  const char* reason =
      unverified ? "the broker's certificate does not verify against --mqtt-ca" : text;
  out->TellOnce(fmt::format("mqtt: the broker {} (TLS): {}", out->Broker(), reason), true);
  out->RestartLater();  // a failed handshake ends libmosquitto's network thread
}

}  // namespace korv_host
