// block-dump: builds every child's data block from fixed input through the
// devices' own operations and writes what the host is handed, in hex:
//
//   block-dump [OUT]     (OUT: the dump file; standard output without one)
//
// Two sources of blocks, each with its own unit:
//   answers  two polling rounds answered with fixed answer frames;
//   cache    each child restored from a fixed cache block, then its round end.
// The clock is fixed, so the time stamps in the blocks are too. The dump of a
// native build and of a cross build run under qemu must be the same bytes:
// the records are a stored format, whatever the word size of the board.
//
// Dump lines (polling thread first, then the threshold worker's calls):
//   line <request frame>          what the unit was sent
//   send <id> <type> <kind> <len> <hex>
//   check|map <id> ... / log <id> <line> / reset <id>
//   record|channel|module <id> <index> <hex>   the records as the device holds them
//   worker save <id> <type> <len> <hex> / worker batch <id> <rules>

#include <fmt/format.h>
#include <json/reader.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "answers/bytes.h"
#include "answers/unit_answers.h"
#include "host/host_observer.h"
#include "host/korv_controller.h"
#include "host/local_clock.h"
#include "root/psma.h"

namespace {

using psma_answers::Bytes;

std::string Hex(const std::uint8_t* data, std::size_t len) {
  std::string out;
  out.reserve(2 * len);
  for (std::size_t k = 0; k < len; ++k) out += fmt::format("{:02x}", data[k]);
  return out;
}

template <typename Record>
std::string RecordHex(const Record& record) {
  std::uint8_t bytes[sizeof(Record)];
  std::memcpy(bytes, &record, sizeof(Record));
  return Hex(bytes, sizeof(Record));
}

// Keeps the polling thread's calls and the threshold worker's calls apart:
// each stream has a fixed order, their interleaving has none.
class DumpObserver : public korv::HostObserver {
 public:
  void SetWorker(std::thread::id worker) { worker_ = worker; }

  void OnLog(unsigned device, const std::string& line) override {
    Add(fmt::format("log {} {}", device, line));
  }
  void OnAlarmCheck(const korv::AlarmCheck& c) override {
    const char* transition = c.transition == korv::AlarmTransition::Raised    ? "raised"
                             : c.transition == korv::AlarmTransition::Cleared ? "cleared"
                                                                              : "none";
    if (c.is_map) {
      Add(fmt::format("map {} {} {} {} {} {} {} {} {} {}", c.device, c.value, c.level, c.key,
                      c.code, c.name, c.description, c.state_text, c.seq, transition));
    } else {
      Add(fmt::format("check {} {} {} {} {} {} {} {} {}", c.device, c.level, c.key, c.code, c.name,
                      c.description, c.active ? 1 : 0, c.seq, transition));
    }
  }
  void OnSendSP(unsigned device, const std::string& type, int kind,
                const std::vector<std::uint8_t>& block, bool delayed) override {
    Add(fmt::format("send {} {} {} {}{} {}", device, type, kind, block.size(),
                    delayed ? " delayed" : "", Hex(block.data(), block.size())));
  }
  void OnSaveHistory(unsigned device, const std::string& type,
                     const std::vector<std::uint8_t>& block) override {
    Add(fmt::format("save {} {} {} {}", device, type, block.size(),
                    Hex(block.data(), block.size())));
  }
  void OnBatchCheck(unsigned device, const std::vector<rule_value>& rules) override {
    Add(fmt::format("batch {} {}", device, rules.size()));
  }
  void OnReset(unsigned device) override { Add(fmt::format("reset {}", device)); }
  void OnLinkError(unsigned device, yd1363::Fault, const std::string& reason) override {
    Add(fmt::format("link {} {}", device, reason));
  }

  void Note(std::string line) { Add(std::move(line)); }

  // Writes both streams and starts afresh.
  void Flush(std::ostream& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& line : polling_) out << line << "\n";
    for (const auto& line : worker_lines_) out << "worker " << line << "\n";
    polling_.clear();
    worker_lines_.clear();
  }

 private:
  void Add(std::string line) {
    std::lock_guard<std::mutex> lock(mutex_);
    (std::this_thread::get_id() == worker_ ? worker_lines_ : polling_).push_back(std::move(line));
  }

  std::mutex mutex_;
  std::thread::id worker_;
  std::vector<std::string> polling_;
  std::vector<std::string> worker_lines_;
};

// Two AC screens (2 and 3 channels), two DC screens, the rectifier group.
const char kSettings[] = R"({"address": 1,
    "acSetting": [{"data_id": 11, "appSetting": {"diff_v": 5, "diff_i": 2}}, {"data_id": 12}],
    "dcSetting": [{"data_id": 21, "appSetting": {"diff_v": "0.5"}}, {"data_id": 22}],
    "rcSetting": {}})";

Json::Value Settings() {
  Json::Value settings;
  std::istringstream(kSettings) >> settings;  // a fixed text: it parses
  return settings;
}

// The information field of the unit's answer to request cid1/cid2 in round
// `round`; the second round brings other values and changed alarm states.
Bytes AnswerInfo(std::uint8_t cid1, std::uint8_t cid2, int round) {
  using namespace psma_answers;
  const float shift = round == 0 ? 0.0f : 1.25f;
  const std::uint8_t state = round == 0 ? 0 : 1;
  const std::uint8_t flag = 0x11;  // switches and alarms changed
  switch (cid1 << 8 | cid2) {
    case 0x4051:
      return Model("PSM-A");
    case 0x4041:
      return Bytes()
          .u8(flag)
          .u8(2)
          .append(Ac41Portion(2, 230.0f + shift))
          .append(Ac41Portion(3, 225.5f - shift));
    case 0x4043:
      return Bytes().u8(flag).u8(2).append(Ac43Portion()).append(Ac43Portion());
    case 0x4044:
      return Bytes().u8(flag).u8(2).append(Ac44Portion(2, state)).append(Ac44Portion(3, 2));
    case 0x4046:
      return Ac46();
    case 0x4141:
      return Rc41(flag, 3);
    case 0x4143:
      return Rc43(3);
    case 0x4144:
      return Rc44(3, state);
    case 0x4241:
      return Bytes()
          .u8(flag)
          .u8(2)
          .append(Dc41Portion(53.5f - shift, 120.0f + shift))
          .append(Dc41Portion(-0.1f, 0.0f));
    case 0x4244:
      return Bytes().u8(flag).u8(2).append(Dc44Portion(state)).append(Dc44Portion(2));
    case 0x4246:
      return Dc46();
    default:
      return Bytes();
  }
}

// Cache blocks of each kind, field by field in record order.
const std::uint8_t kStamp[7] = {0xE4, 0x07, 1, 2, 3, 4, 5};  // 2020-01-02 03:04:05

Bytes Stamp() {
  Bytes b;
  for (auto v : kStamp) b.u8(v);
  return b;
}

Bytes AcCacheBlock(std::uint32_t id) {
  Bytes b;
  b.u8(id & 0xFF).u8(id >> 8 & 0xFF).u8(id >> 16 & 0xFF).u8(id >> 24);
  b.f32(10.5f).f32(11.25f).f32(-0.1f).u8(2);
  b.u8(8).u8s({0, 1, 0, 1, 0, 0, 0, 1}).u8(3).u8s({0, 1, 0});
  b.u8s({0, 1, 2}).append(Stamp());
  for (int k = 0; k < 2; ++k) {
    b.f32(230.5f + static_cast<float>(k)).f32(231.25f).f32(229.75f).f32(50.0f).u8(0);
    b.u8s({0, 1, 0, 2}).u8(8).rep(static_cast<std::uint8_t>(k), 8);
  }
  return b;
}

Bytes DcCacheBlock(std::uint32_t id) {
  Bytes b;
  b.u8(id & 0xFF).u8(id >> 8 & 0xFF).u8(id >> 16 & 0xFF).u8(id >> 24);
  b.f32(53.5f).f32(120.25f);
  b.u8(3).f32(1.5f).f32(-0.1f).f32(0.0f);
  b.u8(6);
  for (int k = 0; k < 6; ++k) b.f32(2.0f * static_cast<float>(k) + 0.5f);
  b.u8(5);
  for (int k = 0; k < 5; ++k) b.f32(-1.0f * static_cast<float>(k));
  b.u8(1).u8(64);
  for (int k = 0; k < 64; ++k) b.u8(k % 3 == 0 ? 1 : 0);
  b.u8(13).rep(2, 13).append(Stamp());
  return b;
}

Bytes RcCacheBlock(std::uint32_t id) {
  Bytes b;
  b.u8(id & 0xFF).u8(id >> 8 & 0xFF).u8(id >> 16 & 0xFF).u8(id >> 24);
  for (int k = 0; k < 5; ++k) b.f32(380.0f + static_cast<float>(k));
  b.f32(53.5f).f32(42.0f).u8(9);
  for (int k = 0; k < 9; ++k) b.f32(0.25f * static_cast<float>(k));
  b.f32(300.5f).u8(2).append(Stamp());
  for (int k = 0; k < 2; ++k) {
    b.f32(20.0f + static_cast<float>(k)).u8(4).f32(1).f32(2).f32(3).f32(-0.1f);
    b.u8s({0, 1, 0}).u8(1).u8(0).u8(static_cast<std::uint8_t>(k)).u8(4).rep(1, 4);
  }
  return b;
}

// The records each child holds now, byte for byte.
void DumpRecords(Psma& root, DumpObserver& observer) {
  for (const auto& ac : root.AcDevices()) {
    observer.Note(fmt::format("record {} 0 {}", ac->DataId(), RecordHex(ac->Record())));
    for (std::size_t k = 0; k < ac->Channels().size(); ++k) {
      observer.Note(fmt::format("channel {} {} {}", ac->DataId(), k, RecordHex(ac->Channels()[k])));
    }
  }
  for (const auto& dc : root.DcDevices()) {
    observer.Note(fmt::format("record {} 0 {}", dc->DataId(), RecordHex(dc->Record())));
  }
  const auto& rc = root.RcDevice();
  observer.Note(fmt::format("record {} 0 {}", rc->DataId(), RecordHex(rc->Record())));
  for (std::size_t k = 0; k < rc->Modules().size(); ++k) {
    observer.Note(fmt::format("module {} {} {}", rc->DataId(), k, RecordHex(rc->Modules()[k])));
  }
}

struct Unit {
  std::shared_ptr<KorvController> controller = std::make_shared<KorvController>();
  std::shared_ptr<DumpObserver> observer = std::make_shared<DumpObserver>();
  std::shared_ptr<Psma> root = std::make_shared<Psma>();

  Unit() {
    observer->SetWorker(controller->WorkerThreadId());
    controller->SetObserver(observer);
    const Json::Value settings = Settings();
    root->Init(controller, 1, settings);
    root->InitSetting(settings);
    root->SetAnswerDelay(std::chrono::milliseconds(0));
    root->AttachLine([obs = observer.get()](const std::uint8_t* data, unsigned len) {
      std::string frame(reinterpret_cast<const char*>(data), len);
      if (!frame.empty() && frame.back() == '\r') frame.pop_back();
      obs->Note("line " + frame);
      return true;
    });
  }
};

void DumpAnswers(std::ostream& out) {
  Unit unit;
  for (int round = 0; round < 2; ++round) {
    out << "# answers round " << round << "\n";
    if (!unit.root->RefreshStatus()) unit.observer->Note("no poll");
    // Answer every request the round sends; a refused answer ends the
    // exchange, and with it what this round can show.
    for (int k = 0; k < 32 && unit.root->IsProcessing(); ++k) {
      const auto info = AnswerInfo(unit.root->LastCid1(), unit.root->LastCid2(), round);
      const auto frame = psma_answers::Frame(unit.root->LastCid1(), info);
      unit.root->HandleAnswer(frame.data(), static_cast<unsigned>(frame.size()));
    }
    unit.controller->DrainWork();
    DumpRecords(*unit.root, *unit.observer);
    unit.observer->Flush(out);
    korv::AdvanceLocalNow(5);
  }
}

void DumpCache(std::ostream& out) {
  Unit unit;
  out << "# cache\n";
  const auto load = [&](KorvVDevice& device, const Bytes& block) {
    const bool accepted = device.LoadFromCache(block.data(), block.size());
    unit.observer->Note(fmt::format("load {} {} {}", device.DataId(), block.size(),
                                    accepted ? "accepted" : "refused"));
  };
  for (const auto& ac : unit.root->AcDevices()) load(*ac, AcCacheBlock(ac->DataId()));
  for (const auto& dc : unit.root->DcDevices()) load(*dc, DcCacheBlock(dc->DataId()));
  load(*unit.root->RcDevice(), RcCacheBlock(unit.root->DataId()));
  // The round end publishes whatever the records hold.
  for (const auto& child : unit.root->GetAllChildVDevices()) child->RoundDone();
  unit.controller->DrainWork();
  DumpRecords(*unit.root, *unit.observer);
  unit.observer->Flush(out);
}

}  // namespace

int main(int argc, char** argv) {
  korv::SetLocalNow(boost::posix_time::time_from_string("2026-12-07 08:00:00"));
  std::ofstream file;
  if (argc > 1) {
    file.open(argv[1], std::ios::binary | std::ios::trunc);
    if (!file) {
      std::cerr << "block-dump: cannot write " << argv[1] << "\n";
      return 2;
    }
  }
  std::ostream& out = argc > 1 ? file : std::cout;
  DumpAnswers(out);
  DumpCache(out);
  out.flush();
  return out ? 0 : 1;
}
