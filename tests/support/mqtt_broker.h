#pragma once
// A real mosquitto on a free loopback port, and a subscriber to all its
// topics, for the tests of korv-host's MQTT side. Every wait is bounded.

#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/wait_for.h"
#include "tools/common/free_port.h"

namespace testing_support {

inline bool Accepts(int port) {
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
    if (dir_ != "/tmp") std::filesystem::remove_all(dir_);
  }
  // Adds lines to its configuration (before Start): they apply to its
  // listener and override what was set before.
  void Configure(const std::string& lines) {
    std::ofstream(dir_ + "/mosquitto.conf", std::ios::app) << lines;
  }
  const std::string& dir() const { return dir_; }
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
    return pid_ > 0 && WaitFor([this] { return Accepts(port_); }, std::chrono::seconds(10));
  }
  // Stops it as an operator would: it saves its persistence first.
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  // Stopped, it forgets its retained messages and sessions.
  void Forget() { std::remove((dir_ + "/mosquitto.db").c_str()); }
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
  int qos = 0;  // as delivered: the lower of the publisher's and the subscription's
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
                              m->retain, m->qos});
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

}  // namespace testing_support
