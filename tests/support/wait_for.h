#pragma once
// Bounded waits of the tests that run threads, lines and servers.

#include <chrono>
#include <functional>
#include <thread>

namespace testing_support {

// Polls `done` until it holds, or `limit` passed (false then).
inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace testing_support
