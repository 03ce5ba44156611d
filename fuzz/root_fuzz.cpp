// Feeds arbitrary answer frames to a configured root device in every step of
// its round. Input: a sequence of records [step selector][length][frame].

#include <json/reader.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "root/psma.h"

namespace {

class FuzzRoot : public Psma {
 public:
  void SetStep(int step) { cmd_step_ = step; }
  void SetReady(bool ready) { SetDataReady(ready); }
};

std::shared_ptr<KorvController> Controller() {
  static auto controller = std::make_shared<KorvController>();
  return controller;
}

Json::Value Settings() {
  Json::Value s;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  const char text[] =
      R"({"acSetting": [{"data_id": 11}, {"data_id": 12}],
          "dcSetting": [{"data_id": 21}, {"data_id": 22}], "rcSetting": {}})";
  reader->parse(text, text + sizeof text - 1, &s, nullptr);
  return s;
}

const int kSteps[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 14, 11, -1};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Json::Value settings = Settings();
  auto root = std::make_shared<FuzzRoot>();
  root->Init(Controller(), 1, settings);
  root->InitSetting(settings);
  root->SetAnswerDelay(std::chrono::milliseconds(0));
  std::size_t pos = 0;
  while (pos + 3 <= size) {
    const std::uint8_t selector = data[pos];
    const std::size_t len = data[pos + 1] | (data[pos + 2] << 8);
    pos += 3;
    const std::size_t n = len < size - pos ? len : size - pos;
    // An exact-size copy, so a read past the frame is caught.
    std::unique_ptr<std::uint8_t[]> frame(new std::uint8_t[n ? n : 1]);
    if (n) std::memcpy(frame.get(), data + pos, n);
    pos += n;
    root->SetStep(kSteps[(selector & 0x7F) % (sizeof kSteps / sizeof kSteps[0])]);
    root->SetReady(selector & 0x80);
    root->HandleAnswer(frame.get(), static_cast<unsigned>(n));
    root->RefreshStatus();
  }
  Controller()->DrainWork();
  return 0;
}
