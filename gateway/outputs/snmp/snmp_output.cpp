#include "gateway/outputs/snmp/snmp_output.h"

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/agent_callbacks.h>
#include <net-snmp/library/large_fd_set.h>
// clang-format on
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <tuple>
#include <utility>

#include "gateway/core/journal.h"

namespace korv_host {
namespace {

constexpr const char* kAppName = "korv-host";
// The most a turn of the agent's loop waits: the stop is seen within it.
constexpr long kMaxWaitUs = 1000000;
// net-snmp's lines as bad as this or worse go to standard error; its
// warnings (a master still away, every ping interval) do not.
constexpr int kLogPriority = LOG_ERR;
// Notifications handed to the master in one turn of the loop, between two
// reads of what it sends back: its answers to them never fill the socket.
constexpr std::size_t kBatch = 32;

// snmpTrapOID.0 (SNMPv2-MIB), the first varbind of every notification.
const oid kSnmpTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};

// The agent whose thread runs net-snmp: one a process.
std::atomic<SnmpOutput::Agent*> g_running{nullptr};

struct Notice {
  snmp::Notification kind;
  std::vector<snmp::Varbind> varbinds;
};
// (device, type, key, description): as the host tells its alarms apart.
using AlarmKey = std::tuple<unsigned, std::string, std::string, std::string>;

// Whether a write to `fd` goes at once: a stream socket says so when at
// least three quarters of its buffer are free, far more than a notification.
bool Writable(int fd) {
  pollfd p{fd, POLLOUT, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP)) == 0 &&
         (p.revents & POLLOUT) != 0;
}

std::vector<oid> ToOid(const snmp::Oid& o) { return std::vector<oid>(o.begin(), o.end()); }

void AddVarbind(netsnmp_variable_list** list, const snmp::Varbind& vb) {
  const std::vector<oid> name = ToOid(vb.oid);
  switch (vb.value.kind) {
    case snmp::Value::Kind::kOctets:
      snmp_varlist_add_variable(list, name.data(), name.size(), ASN_OCTET_STR,
                                vb.value.octets.data(), vb.value.octets.size());
      return;
    case snmp::Value::Kind::kInteger: {
      const long v = static_cast<long>(vb.value.number);
      snmp_varlist_add_variable(list, name.data(), name.size(), ASN_INTEGER, &v, sizeof v);
      return;
    }
    case snmp::Value::Kind::kGauge:
    case snmp::Value::Kind::kCounter: {
      const u_long v = static_cast<u_long>(vb.value.number);
      snmp_varlist_add_variable(
          list, name.data(), name.size(),
          vb.value.kind == snmp::Value::Kind::kGauge ? ASN_GAUGE : ASN_COUNTER, &v, sizeof v);
      return;
    }
  }
}

void SetValue(netsnmp_variable_list* var, const snmp::Varbind& vb) {
  const std::vector<oid> name = ToOid(vb.oid);
  snmp_set_var_objid(var, name.data(), name.size());
  switch (vb.value.kind) {
    case snmp::Value::Kind::kOctets:
      snmp_set_var_typed_value(var, ASN_OCTET_STR, vb.value.octets.data(), vb.value.octets.size());
      return;
    case snmp::Value::Kind::kInteger: {
      const long v = static_cast<long>(vb.value.number);
      snmp_set_var_typed_value(var, ASN_INTEGER, &v, sizeof v);
      return;
    }
    case snmp::Value::Kind::kGauge:
    case snmp::Value::Kind::kCounter: {
      const u_long v = static_cast<u_long>(vb.value.number);
      snmp_set_var_typed_value(
          var, vb.value.kind == snmp::Value::Kind::kGauge ? ASN_GAUGE : ASN_COUNTER, &v, sizeof v);
      return;
    }
  }
}

int LogLine(int /*major*/, int /*minor*/, void* server, void* /*client*/) {
  const auto* message = static_cast<const snmp_log_message*>(server);
  if (message == nullptr || message->msg == nullptr) return 0;
  std::string line = message->msg;
  while (!line.empty() && line.back() == '\n') line.pop_back();
  Say(message->priority, "snmp: " + line);
  return 0;
}

// The master's socket as the operator knows it: net-snmp's default when
// none was named.
std::string MasterAt(const std::string& socket) {
  return socket.empty() ? NETSNMP_AGENTX_SOCKET : socket;
}

}  // namespace

class SnmpOutput::Agent {
 public:
  Agent(std::shared_ptr<const SiteState> state, SnmpSettings settings)
      : state_(std::move(state)), settings_(std::move(settings)) {}
  ~Agent() {
    if (wake_fd_ >= 0) ::close(wake_fd_);
  }
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  // Before the thread starts; false when the wake-up cannot be made.
  bool MakeWake() {
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return wake_fd_ >= 0;
  }
  void Run();  // the agent's thread
  // Asks the thread to end; true once it has, within stop_grace.
  bool End();
  // What the queue still holds, counted dropped: the thread was let go.
  void DropLeft();

  void OnRound(unsigned unit, const RoundEvent& event);
  void OnAlarm(unsigned unit, const AlarmEvent& check);
  void OnLinkState(unsigned unit, const LinkEvent& event);
  bool Connected() const { return connected_; }
  snmp::NotificationCounts Counts() const;
  std::string Outage() const;

 private:
  // net-snmp's callbacks reach the members below.
  friend struct SnmpAgentCalls;

  void Queue(Notice notice);  // under mutex_
  void Wake() const;
  // Hands the queue's notices to the master while its socket takes them at
  // once, at most kBatch unless `stopping` (then what is left is counted
  // dropped); true when some wait for the socket.
  bool Send(bool stopping);
  void Notify(const Notice& notice);
  // The master's socket; -1 while there is none.
  int Socket() const;
  // The view, taken again when older than view_max_age (agent's thread).
  const std::vector<snmp::Varbind>& View();
  void Ended();  // the thread's last step
  // The master there (`up`) or not, told when it changes: `reason` why not,
  // when net-snmp left one.
  void Master(bool up, const std::string& reason = "");

  const std::shared_ptr<const SiteState> state_;
  const SnmpSettings settings_;
  int wake_fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<bool> connected_{false};

  mutable std::mutex mutex_;
  std::deque<Notice> queue_;
  snmp::NotificationCounts counts_;
  std::uint32_t next_alarm_id_ = 1;
  std::map<AlarmKey, snmp::ActiveAlarm> active_;
  std::map<unsigned, int> rounds_;
  std::map<unsigned, bool> lost_;  // units told not answering
  std::string outage_;             // while the master is away: why

  std::mutex end_mutex_;
  std::condition_variable end_cv_;
  bool ended_ = false;

  // The agent's thread only.
  std::vector<snmp::Varbind> view_;
  std::chrono::steady_clock::time_point view_at_;
  netsnmp_session* session_ = nullptr;  // the master's, while connected
};

// net-snmp's callbacks, on the agent's thread.
struct SnmpAgentCalls {
  static int Handle(netsnmp_mib_handler* /*handler*/, netsnmp_handler_registration* /*reg*/,
                    netsnmp_agent_request_info* info, netsnmp_request_info* requests) {
    SnmpOutput::Agent* self = g_running.load();
    if (self == nullptr) return SNMP_ERR_GENERR;
    const auto& view = self->View();
    const auto less = [](const snmp::Varbind& vb, const snmp::Oid& o) { return vb.oid < o; };
    for (netsnmp_request_info* r = requests; r != nullptr; r = r->next) {
      if (r->processed) continue;
      const snmp::Oid asked(r->requestvb->name, r->requestvb->name + r->requestvb->name_length);
      switch (info->mode) {
        case MODE_GET: {
          const auto it = std::lower_bound(view.begin(), view.end(), asked, less);
          if (it != view.end() && it->oid == asked) {
            SetValue(r->requestvb, *it);
          } else {
            netsnmp_set_request_error(info, r, SNMP_NOSUCHINSTANCE);
          }
          break;
        }
        case MODE_GETNEXT: {
          auto it = std::lower_bound(view.begin(), view.end(), asked, less);
          if (it != view.end() && it->oid == asked) ++it;
          // Past the last object: left unanswered, the agent goes on to
          // the next registration.
          if (it != view.end()) SetValue(r->requestvb, *it);
          break;
        }
        default:
          netsnmp_set_request_error(info, r, SNMP_ERR_NOTWRITABLE);
          break;
      }
    }
    return SNMP_ERR_NOERROR;
  }

  // The session to the master opened (its socket connected) or closed.
  static int OnSession(int /*major*/, int minor, void* server, void* /*client*/) {
    SnmpOutput::Agent* self = g_running.load();
    if (self == nullptr) return 0;
    const bool up = minor == SNMPD_CALLBACK_INDEX_START;
    self->session_ = up ? static_cast<netsnmp_session*>(server) : nullptr;
    if (const int fd = self->Socket(); fd >= 0) {
      // What the library writes (answers, pings) fails rather than waits on
      // a master that stopped reading.
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    self->Master(up);
    return 0;
  }

  // Every session the library makes: the master's stream loses nothing, so
  // a request unanswered in time is not sent again (a notification would
  // reach the NMS twice, and a master behind would get more to read).
  static int OnNewSession(int /*major*/, int /*minor*/, void* server, void* /*client*/) {
    auto* made = static_cast<netsnmp_session*>(server);
    if (made != nullptr && (made->flags & SNMP_FLAGS_STREAM_SOCKET) != 0) made->retries = 0;
    return 0;
  }
};

SnmpOutput::SnmpOutput(std::shared_ptr<const SiteState> state, SnmpSettings settings)
    : agent_(std::make_shared<Agent>(std::move(state), std::move(settings))) {}

SnmpOutput::~SnmpOutput() { Stop(); }

bool SnmpOutput::Start(std::string& error) {
  Agent* none = nullptr;
  if (!g_running.compare_exchange_strong(none, agent_.get())) {
    error = "the SNMP subagent runs already";
    return false;
  }
  if (!agent_->MakeWake()) {
    g_running = nullptr;
    error = "the SNMP subagent cannot make its wake-up";
    return false;
  }
  // The thread takes no signal: the stop signals are the runner's, and
  // this thread may start before they are blocked.
  sigset_t all, before;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &before);
  // It holds the agent: let go by a stop, it never reads a freed one.
  thread_ = std::thread([agent = agent_] { agent->Run(); });
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return true;
}

bool SnmpOutput::Stop() {
  if (!thread_.joinable()) return true;
  if (agent_->End()) {
    thread_.join();
    return true;
  }
  // Waiting on a master that takes nothing (stopped, not gone): the thread
  // ends by itself when the master answers or goes, or with the process.
  thread_.detach();
  agent_->DropLeft();
  Say(LOG_WARNING, "snmp: the master agent does not answer: stopped without it");
  return false;
}

void SnmpOutput::OnRound(unsigned unit, const RoundEvent& event) { agent_->OnRound(unit, event); }
void SnmpOutput::OnAlarm(unsigned unit, const AlarmEvent& check) { agent_->OnAlarm(unit, check); }
void SnmpOutput::OnLinkState(unsigned unit, const LinkEvent& event) {
  agent_->OnLinkState(unit, event);
}
bool SnmpOutput::Connected() const { return agent_->Connected(); }
std::string SnmpOutput::Outage() const { return agent_->Outage(); }
snmp::NotificationCounts SnmpOutput::Counts() const { return agent_->Counts(); }

std::vector<HealthNumber> SnmpOutput::Metrics() const {
  const snmp::NotificationCounts counts = Counts();
  return {
      {"korv_snmp_connected", "gauge", "Whether the SNMP master agent is connected (1) or not (0).",
       Connected() ? 1.0 : 0.0},
      {"korv_snmp_notifications_sent_total", "counter", "Notifications sent through the master.",
       static_cast<double>(counts.sent)},
      {"korv_snmp_notifications_unsent_total", "counter",
       "Notifications not sent because the master agent was away.",
       static_cast<double>(counts.unsent)},
      {"korv_snmp_notifications_dropped_total", "counter",
       "Notifications dropped because the queue was full.", static_cast<double>(counts.dropped)},
  };
}

bool SnmpOutput::Agent::End() {
  stop_ = true;
  Wake();
  std::unique_lock<std::mutex> lock(end_mutex_);
  return end_cv_.wait_for(lock, settings_.stop_grace, [this] { return ended_; });
}

void SnmpOutput::Agent::Ended() {
  Agent* self = this;
  g_running.compare_exchange_strong(self, nullptr);
  std::lock_guard<std::mutex> lock(end_mutex_);
  ended_ = true;
  end_cv_.notify_all();
}

void SnmpOutput::Agent::DropLeft() {
  std::lock_guard<std::mutex> lock(mutex_);
  counts_.dropped += queue_.size();
  queue_.clear();
}

void SnmpOutput::Agent::Wake() const {
  if (wake_fd_ < 0) return;  // not started
  const std::uint64_t one = 1;
  // A full counter already wakes the thread.
  [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

std::string SnmpOutput::Agent::Outage() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return outage_;
}

void SnmpOutput::Agent::Master(bool up, const std::string& reason) {
  const std::string at = MasterAt(settings_.socket);
  const bool was = connected_.exchange(up);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (up) {
      outage_.clear();
    } else {
      outage_ = "snmp: no master agent at " + at + (reason.empty() ? "" : ": " + reason);
    }
  }
  if (up && !was) {
    Say(LOG_NOTICE, "snmp: connected to the master agent at " + at);
  } else if (!up && was && !stop_) {
    Say(LOG_WARNING, "snmp: lost the master agent at " + at + "; korv-host keeps trying");
  }
}

snmp::NotificationCounts SnmpOutput::Agent::Counts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_;
}

void SnmpOutput::Agent::Queue(Notice notice) {
  if (queue_.size() >= settings_.queue_limit && !queue_.empty()) {
    queue_.pop_front();
    ++counts_.dropped;
  }
  queue_.push_back(std::move(notice));
}

void SnmpOutput::Agent::OnRound(unsigned unit, const RoundEvent& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  rounds_[unit] = event.round;
}

void SnmpOutput::Agent::OnAlarm(unsigned unit, const AlarmEvent& check) {
  const bool raised = check.transition == korv::AlarmTransition::Raised;
  if (!raised && check.transition != korv::AlarmTransition::Cleared) return;
  // When the host saw it (a test's hand-made event may carry none).
  const auto now = check.at != std::chrono::system_clock::time_point{}
                       ? check.at
                       : std::chrono::system_clock::now();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const AlarmKey key{check.device, check.device_type, check.key, check.description};
    snmp::ActiveAlarm alarm;
    if (raised) {
      alarm = {next_alarm_id_++, unit, check, now};
      active_[key] = alarm;
    } else if (const auto it = active_.find(key); it != active_.end()) {
      alarm = std::move(it->second);
      active_.erase(it);
    } else {
      // A clear of an alarm raised before korv-host started: its own number.
      alarm = {next_alarm_id_++, unit, check, now};
    }
    Queue({raised ? snmp::Notification::kAlarmRaised : snmp::Notification::kAlarmCleared,
           snmp::AlarmVarbinds(alarm)});
  }
  Wake();
}

void SnmpOutput::Agent::OnLinkState(unsigned unit, const LinkEvent& event) {
  const bool answering = event.answering;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bool& lost = lost_[unit];
    // A first contact regains nothing.
    if (answering && !lost) return;
    lost = !answering;
    const auto rounds = rounds_.find(unit);
    Queue({answering ? snmp::Notification::kLinkRegained : snmp::Notification::kLinkLost,
           snmp::LinkVarbinds(unit, answering, event.text,
                              rounds != rounds_.end() ? rounds->second : 0)});
  }
  Wake();
}

const std::vector<snmp::Varbind>& SnmpOutput::Agent::View() {
  const auto now = std::chrono::steady_clock::now();
  if (!view_.empty() && now - view_at_ < settings_.view_max_age) return view_;
  std::vector<snmp::ActiveAlarm> alarms;
  snmp::NotificationCounts counts;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    alarms.reserve(active_.size());
    for (const auto& [key, alarm] : active_) alarms.push_back(alarm);
    counts = counts_;
  }
  view_ = snmp::BuildView(state_->Take(now), alarms, counts);
  view_at_ = now;
  return view_;
}

int SnmpOutput::Agent::Socket() const {
  if (session_ == nullptr) return -1;
  void* open = snmp_sess_pointer(session_);
  const netsnmp_transport* transport = open != nullptr ? snmp_sess_transport(open) : nullptr;
  return transport != nullptr ? transport->sock : -1;
}

void SnmpOutput::Agent::Notify(const Notice& notice) {
  netsnmp_variable_list* vars = nullptr;
  const std::vector<oid> trap = ToOid(snmp::NotificationOid(notice.kind));
  snmp_varlist_add_variable(&vars, kSnmpTrapOid, OID_LENGTH(kSnmpTrapOid), ASN_OBJECT_ID,
                            trap.data(), trap.size() * sizeof(oid));
  for (const auto& vb : notice.varbinds) AddVarbind(&vars, vb);
  send_v2trap(vars);
  snmp_free_varbind(vars);
}

bool SnmpOutput::Agent::Send(bool stopping) {
  if (!connected_) {
    // Away, the library would drop them without a word.
    std::lock_guard<std::mutex> lock(mutex_);
    counts_.unsent += queue_.size();
    queue_.clear();
    return false;
  }
  const int fd = Socket();
  for (std::size_t n = 0;; ++n) {
    const bool room = fd >= 0 && Writable(fd);
    Notice notice;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.empty()) return false;
      if (!room || (!stopping && n == kBatch)) {
        if (!stopping) return true;
        counts_.dropped += queue_.size();
        queue_.clear();
        return false;
      }
      notice = std::move(queue_.front());
      queue_.pop_front();
    }
    Notify(notice);
    std::lock_guard<std::mutex> lock(mutex_);
    ++counts_.sent;
  }
}

void SnmpOutput::Agent::Run() {
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
  if (!settings_.socket.empty()) {
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET,
                          settings_.socket.c_str());
  }
  // Timers from the loop below, never from SIGALRM: the process has many
  // threads, and signals are the runner's.
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
  // No files of its own: the settings are korv-host's options, and the
  // service may write nowhere but its database.
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
  // It reads no MIB files: it serves numbers, and the controller's MIB
  // folders would only bring complaints about modules it lacks.
  netsnmp_config_remember(const_cast<char*>("mibs :"));
  snmp_disable_log();
  netsnmp_register_loghandler(NETSNMP_LOGHANDLER_CALLBACK, kLogPriority);
  snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, LogLine, nullptr);
  // No client argument: snmp_shutdown frees those it finds.
  snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_SESSION_INIT,
                         SnmpAgentCalls::OnNewSession, nullptr);
  snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START,
                         SnmpAgentCalls::OnSession, nullptr);
  snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP,
                         SnmpAgentCalls::OnSession, nullptr);

  init_agent(kAppName);
  // After init_agent, which sets its own default.
  netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL,
                     settings_.ping_interval_s);
  const std::vector<oid> root = ToOid(snmp::ObjectsOid());
  netsnmp_register_handler(netsnmp_create_handler_registration(
      "korvObjects", SnmpAgentCalls::Handle, root.data(), root.size(), HANDLER_CAN_RONLY));
  // Connects to the master, or sets the ping alarm that tries again.
  errno = 0;
  init_snmp(kAppName);
  if (!connected_) {
    // net-snmp tells no reason, but its failed connect leaves it in errno.
    const int error = errno;
    Master(false, error != 0 ? std::strerror(error) : "");
    Say(LOG_WARNING, Outage() + "; korv-host keeps trying");
  }

  netsnmp_large_fd_set readable, writable;
  netsnmp_large_fd_set_init(&readable, FD_SETSIZE);
  netsnmp_large_fd_set_init(&writable, FD_SETSIZE);
  while (!stop_) {
    run_alarms();
    // Notifications wait for the master to read: the turn ends when it has.
    const int waiting = Send(false) ? Socket() : -1;
    int count = 0, block = 0;
    timeval wait{0, kMaxWaitUs};
    NETSNMP_LARGE_FD_ZERO(&readable);
    NETSNMP_LARGE_FD_ZERO(&writable);
    snmp_select_info2(&count, &readable, &wait, &block);
    if (block != 0 || wait.tv_sec * 1000000 + wait.tv_usec > kMaxWaitUs) wait = {0, kMaxWaitUs};
    NETSNMP_LARGE_FD_SET(wake_fd_, &readable);
    count = std::max(count, wake_fd_ + 1);
    if (waiting >= 0) {
      NETSNMP_LARGE_FD_SET(waiting, &writable);
      count = std::max(count, waiting + 1);
    }
    const int ready = netsnmp_large_fd_set_select(
        count, &readable, waiting >= 0 ? &writable : nullptr, nullptr, &wait);
    if (ready > 0) {
      if (NETSNMP_LARGE_FD_ISSET(wake_fd_, &readable)) {
        std::uint64_t n = 0;
        [[maybe_unused]] const ssize_t r = ::read(wake_fd_, &n, sizeof n);
        NETSNMP_LARGE_FD_CLR(wake_fd_, &readable);
      }
      snmp_read2(&readable);
    } else if (ready == 0) {
      snmp_timeout();
    }
    netsnmp_check_outstanding_agent_requests();
  }
  netsnmp_large_fd_set_cleanup(&readable);
  netsnmp_large_fd_set_cleanup(&writable);
  Send(true);  // what the master takes at once; the rest is counted
  snmp_shutdown(kAppName);
  shutdown_agent();
  Ended();
}

}  // namespace korv_host
