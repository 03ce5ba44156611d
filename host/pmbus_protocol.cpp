#include "host/pmbus_protocol.h"

#include <fmt/format.h>

#include <algorithm>

#include "host/serial_port.h"

namespace {

// Timeouts in a row before the one warning, and before "not answering".
constexpr unsigned kWarnAfter = 3;
constexpr unsigned kLostAfter = 5;

}  // namespace

PMBusProtocol::PMBusProtocol() { rx_frame_.reserve(6 + yd1363::kMaxInfoBytes); }
PMBusProtocol::~PMBusProtocol() = default;

bool PMBusProtocol::InitSetting(const Json::Value& settings) {
  settings_error_.clear();
  if (!settings.isObject()) return RefuseSettings("the settings must be an object");
  const Json::Value& address = settings["address"];
  if (!address.isNull()) {
    if (!address.isUInt() || address.asUInt() > 255) {
      return RefuseSettings("\"address\" must be 0..255");
    }
    address_ = static_cast<std::uint8_t>(address.asUInt());
  }
  const Json::Value& timeout = settings["answer_timeout_ms"];
  if (!timeout.isNull()) {
    if (!timeout.isUInt() || timeout.asUInt() < 1 || timeout.asUInt() > 60000) {
      return RefuseSettings("\"answer_timeout_ms\" must be 1..60000");
    }
    answer_timeout_ = std::chrono::milliseconds(timeout.asInt64());
  }
  const Json::Value& baud = settings["baud"];
  if (!baud.isNull()) {
    if (!baud.isInt() || !korv::IsStandardBaud(baud.asInt())) {
      return RefuseSettings("\"baud\" must be a standard line rate (1200..115200, e.g. 9600)");
    }
    baud_rate_ = baud.asInt();
  }
  return true;
}

bool PMBusProtocol::process_payload() { return true; }

void PMBusProtocol::Reset() {
  const bool completed = child_published_.load(std::memory_order_acquire);
  KorvSPDevice::Reset();
  if (completed) {
    backoff_ = std::chrono::milliseconds(0);
    retry_at_ = {};
    if (round_open_) SetLastUpdate(korv::FromEpochSeconds(round_start_s_));
    round_open_ = false;
    failed_in_a_row_ = 0;
    // A count held since a window or longer is told with the round that
    // ends the run of faults; a younger one waits, so a fault that comes
    // with every round is still told once a window.
    const auto controller = Controller();
    const std::int64_t window = controller ? controller->RepeatWindow() : 0;
    if (korv::ToEpochSeconds(korv::LocalNow()) - told_fault_.since >= window) TellHeldFaults();
    if (link_told_ == LinkTold::kNoRound) {
      link_told_ = LinkTold::kAnswering;
      if (auto obs = Observer()) obs->OnLinkRounds(DataId(), true, "completing rounds again");
    }
  }
}

std::int64_t PMBusProtocol::SecondsToRound() const {
  return std::max<std::int64_t>(0, round_seconds_ - DataAgeSeconds());
}

void PMBusProtocol::process_error(int code, const std::string& reason) {
  EndExchange();
  ended_by_fault_ = true;
  auto obs = Observer();
  const yd1363::Fault fault = yd1363::FaultOfCode(code);
  if (fault != yd1363::Fault::kTimeout) {
    TellFault(fault, reason);
    // The first fault is repeated at once (line noise); a second in a row
    // is the unit's habit, and waits as a refusal does.
    ExchangeFailed(failed_in_a_row_ >= 1);
    return;
  }
  // Loss of contact: a few silent retries, one warning, then one report.
  ++timeouts_in_a_row_;
  if (timeouts_in_a_row_ == kWarnAfter && link_told_ != LinkTold::kNotAnswering) {
    link_told_ = LinkTold::kWarned;
    if (obs) {
      obs->OnLinkError(
          DataId(), fault,
          fmt::format("{}; no answer to {} requests in a row", reason, timeouts_in_a_row_));
    }
  } else if (timeouts_in_a_row_ == kLostAfter && link_told_ != LinkTold::kNotAnswering) {
    link_told_ = LinkTold::kNotAnswering;
    if (obs) obs->OnLinkState(DataId(), false, "not answering");
  }
  // A unit that does not answer is asked less often, so its timeouts do not
  // take the line from the units that share it.
  if (link_told_ == LinkTold::kNotAnswering) {
    retry_at_ = std::chrono::steady_clock::now() + kLostRetry;
  }
}

void PMBusProtocol::TellFault(yd1363::Fault fault, const std::string& text) {
  const auto controller = Controller();
  const std::int64_t window = controller ? controller->RepeatWindow() : 0;
  const std::int64_t now = korv::ToEpochSeconds(korv::LocalNow());
  if (window > 0 && fault == told_fault_.fault && text == told_fault_.text &&
      now - told_fault_.since < window) {
    ++told_fault_.held;
    return;
  }
  TellHeldFaults();
  told_fault_ = {fault, text, now, 0};
  if (auto obs = Observer()) obs->OnLinkError(DataId(), fault, text);
}

void PMBusProtocol::TellHeldFaults() {
  if (told_fault_.held == 0) return;
  const unsigned held = told_fault_.held;
  told_fault_.held = 0;
  if (auto obs = Observer()) {
    obs->OnLinkError(DataId(), told_fault_.fault,
                     fmt::format("{} (repeated {} times)", told_fault_.text, held));
  }
}

void PMBusProtocol::ExchangeFailed(bool back_off) {
  ++failed_in_a_row_;
  if (back_off) {
    backoff_ = backoff_.count() == 0 ? kFirstBackoff : std::min(2 * backoff_, kMaxBackoff);
    retry_at_ = std::chrono::steady_clock::now() + backoff_;
  }
  if (failed_in_a_row_ >= kNoRoundAfter && link_told_ == LinkTold::kAnswering) {
    link_told_ = LinkTold::kNoRound;
    if (auto obs = Observer()) {
      obs->OnLinkRounds(DataId(), false,
                        fmt::format("answering, but no round completes ({} refused or faulty "
                                    "answers in a row)",
                                    failed_in_a_row_));
    }
  }
}

void PMBusProtocol::LineDown(const std::string& text) {
  if (IsProcessing()) EndExchange();
  decoder_.Reset();
  if (link_told_ == LinkTold::kNotAnswering) return;
  link_told_ = LinkTold::kNotAnswering;
  timeouts_in_a_row_ = kLostAfter;
  if (auto obs = Observer()) obs->OnLinkState(DataId(), false, text);
}

bool PMBusProtocol::write_pmbus_cmd(std::uint8_t cid1, std::uint8_t cid2) {
  return write_pmbus_cmd(cid1, cid2, nullptr, 0);
}

bool PMBusProtocol::write_pmbus_cmd(std::uint8_t cid1, std::uint8_t cid2, const std::uint8_t* data,
                                    unsigned len) {
  if (data == nullptr) len = 0;
  last_cid1_ = cid1;
  last_cid2_ = cid2;
  last_info_.assign(data, data + len);
  ended_by_fault_ = false;
  if (!round_open_) {
    round_open_ = true;
    round_start_s_ = korv::ToEpochSeconds(korv::LocalNow());
  }
  BeginExchange();
  if (auto obs = Observer()) {
    obs->OnRequest(DataId(), cid1, cid2, std::vector<std::uint8_t>(data, data + len));
  }
  // Whatever arrived before this request cannot be its answer.
  decoder_.Reset();
  yd1363::EncodeRequest(version_, address_, cid1, cid2, data, len, tx_);
  sent_at_ = std::chrono::steady_clock::now();
  return SendData(tx_.data(), static_cast<unsigned>(tx_.size()));
}

bool PMBusProtocol::HandleAnswer(const std::uint8_t* frame, unsigned len) {
  const std::uint64_t before = requests_.load(std::memory_order_acquire);
  answer_ = frame;
  answer_len_ = frame != nullptr ? len : 0;
  const bool result = process_payload();
  answer_ = nullptr;
  answer_len_ = 0;
  // An answer that sent no next request ends the exchange: either a round
  // end (Reset already ran) or a refusal, which the next poll repeats after
  // a wait that grows while the refusals go on.
  if (requests_.load(std::memory_order_acquire) == before && IsProcessing()) {
    EndExchange();
    ExchangeFailed(true);
  }
  return result;
}

std::chrono::microseconds PMBusProtocol::AnswerBudget() const {
  const int baud = baud_rate_ > 0 ? baud_rate_ : 9600;
  const unsigned expected = decoder_.ExpectedChars();
  const unsigned answer_chars = expected != 0 ? expected : yd1363::FrameChars(0);
  const auto chars = static_cast<std::int64_t>(tx_.size() + answer_chars);
  // 8N1: a start bit, eight data bits and a stop bit per character.
  return std::chrono::duration_cast<std::chrono::microseconds>(answer_timeout_) +
         std::chrono::microseconds(chars * 10 * 1000000 / baud);
}

void PMBusProtocol::AnswerTimedOut() {
  if (!IsProcessing()) return;
  decoder_.Reset();
  process_error(
      static_cast<int>(yd1363::Fault::kTimeout),
      fmt::format("{}: {:02X}/{:02X} not answered within {} ms",
                  yd1363::FaultText(yd1363::Fault::kTimeout), last_cid1_, last_cid2_,
                  std::chrono::duration_cast<std::chrono::milliseconds>(AnswerBudget()).count()));
}

std::string PMBusProtocol::FaultLine(yd1363::Fault fault, const std::string& detail) const {
  return fmt::format("{}: {} (answer to {:02X}/{:02X})", yd1363::FaultText(fault), detail,
                     last_cid1_, last_cid2_);
}

void PMBusProtocol::ReportFault(yd1363::Fault fault, const std::string& detail) {
  process_error(static_cast<int>(fault), FaultLine(fault, detail));
}

void PMBusProtocol::HeardFromUnit() {
  ++contacts_;
  timeouts_in_a_row_ = 0;
  // Completing no round is still answering: only a round ends that state.
  if (link_told_ == LinkTold::kAnswering || link_told_ == LinkTold::kNoRound) return;
  const bool again = link_told_ != LinkTold::kNothing;
  link_told_ = LinkTold::kAnswering;
  if (auto obs = Observer())
    obs->OnLinkState(DataId(), true, again ? "answering again" : "answering");
}

bool PMBusProtocol::IsEcho(const yd1363::Frame& f) const {
  // The request's own fields: an answer's CID2 is a return code (00..06,
  // 80..), a request's a command (41..), so a real answer never matches.
  return f.adr == address_ && f.cid1 == last_cid1_ && f.cid2 == last_cid2_ && f.info == last_info_;
}

void PMBusProtocol::SkipEcho() {
  ++echoes_;
  if (echoes_ != 1) return;
  if (auto obs = Observer()) {
    // Not a fault of the unit's: told once, counted under no fault's code.
    obs->OnLinkError(DataId(), yd1363::Fault::kNone,
                     fmt::format("echo: the request to {:02X}/{:02X} came back from the line; "
                                 "echoes are skipped",
                                 last_cid1_, last_cid2_));
  }
}

void PMBusProtocol::process(std::uint8_t* data, unsigned len) {
  if (data == nullptr) return;
  for (unsigned i = 0; i < len; ++i) {
    const auto event = decoder_.Push(data[i]);
    if (event == yd1363::Decoder::Event::kNone) continue;
    decoder_.Reset();
    // Nothing asked: a late answer or noise, not ours to judge.
    if (!IsProcessing()) return;
    // A broken frame ends the exchange but is no contact: it may be anyone's.
    if (event == yd1363::Decoder::Event::kFault) {
      ReportFault(decoder_.fault(), decoder_.detail());
      return;
    }
    const yd1363::Frame& f = decoder_.frame();
    if (IsEcho(f)) {
      SkipEcho();
      continue;
    }
    // Another unit's frame (a late answer, a neighbour talking) is the
    // line's fault: the asked unit may still answer before its deadline,
    // even right behind it in this chunk.
    if (f.adr != address_) {
      TellFault(yd1363::Fault::kWrongAddress,
                FaultLine(yd1363::Fault::kWrongAddress,
                          fmt::format("from address {}, expected {}", f.adr, address_)));
      continue;
    }
    // A request to the unit (another master on the bus) is no answer: the
    // unit is heard only when it answers with a return code.
    if (yd1363::IsCommandCode(f.cid2)) {
      ++foreign_;
      // One text whatever was asked, so a stream of them is told once.
      TellFault(yd1363::Fault::kNone,
                fmt::format("another master's request {:02X}/{:02X} to address {} skipped", f.cid1,
                            f.cid2, f.adr));
      continue;
    }
    HeardFromUnit();
    if (f.cid2 != 0) {
      ReportFault(yd1363::Fault::kReturnCode,
                  fmt::format("{:02X} ({})", f.cid2, yd1363::ReturnCodeName(f.cid2)));
      return;
    }
    rx_frame_.assign({f.ver, f.adr, f.cid1, f.cid2, static_cast<std::uint8_t>(f.lenid & 0xFF),
                      static_cast<std::uint8_t>(f.lenid >> 8)});
    rx_frame_.insert(rx_frame_.end(), f.info.begin(), f.info.end());
    HandleAnswer(rx_frame_.data(), static_cast<unsigned>(rx_frame_.size()));
    return;
  }
}
