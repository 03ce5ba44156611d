#pragma once
// A controller with a recording observer and a fixed clock, for tests that
// drive devices through the host layer.

#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <memory>

#include "host/korv_controller.h"
#include "host/local_clock.h"
#include "support/recording_observer.h"

namespace testing_support {

class HostFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    korv::SetLocalNow(boost::posix_time::time_from_string("2026-12-07 08:00:00"));
    controller = std::make_shared<KorvController>();
    observer = std::make_shared<RecordingObserver>();
    controller->SetObserver(observer);
  }
  void TearDown() override {
    controller->DrainWork();
    korv::UseSystemClock();
  }

  std::shared_ptr<KorvController> controller;
  std::shared_ptr<RecordingObserver> observer;
};

}  // namespace testing_support
