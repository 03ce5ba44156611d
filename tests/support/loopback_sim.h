#pragma once
// psma-sim serving its line on a free loopback port, its commands open on
// standard input: the unit a test drives while korv-host or a client of the
// test polls it.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/child_program.h"

namespace testing_support {

class LoopbackSim {
 public:
  LoopbackSim(const std::string& path, std::vector<std::string> args) {
    args.insert(args.end(), {"--listen", "127.0.0.1:0"});
    ChildProgram::Settings settings;
    settings.input = true;
    program_ = std::make_unique<ChildProgram>(path, std::move(args), settings);
    // Its first line names the port it took; a refusal comes on standard error.
    if (!program_->Until([](const std::string& out, const std::string& err) {
          return out.find('\n') != std::string::npos || !err.empty();
        })) {
      return;
    }
    const std::string out = program_->Out();
    const std::string prefix = "tcp://127.0.0.1:";
    if (out.rfind(prefix, 0) != 0) return;
    url_ = out.substr(0, out.find('\n'));
    port_ = std::stoi(url_.substr(prefix.size()));
  }

  ChildProgram& program() { return *program_; }
  const std::string& url() const { return url_; }  // "tcp://127.0.0.1:PORT"; "" if it did not start
  int port() const { return port_; }               // 0 if it did not start

 private:
  std::unique_ptr<ChildProgram> program_;
  std::string url_;
  int port_ = 0;
};

}  // namespace testing_support
