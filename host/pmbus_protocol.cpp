#include "host/pmbus_protocol.h"

#include "host/yd1363.h"

PMBusProtocol::PMBusProtocol() = default;
PMBusProtocol::~PMBusProtocol() = default;

bool PMBusProtocol::InitSetting(const Json::Value& settings) {
  if (!settings.isObject()) return false;
  const Json::Value& address = settings["address"];
  if (!address.isNull()) {
    if (!address.isIntegral() || address.asInt64() < 0 || address.asInt64() > 255) return false;
    address_ = static_cast<std::uint8_t>(address.asUInt());
  }
  return true;
}

bool PMBusProtocol::process_payload() { return true; }

void PMBusProtocol::process_error(int, const std::string& reason) {
  EndExchange();
  if (auto obs = Observer()) obs->OnLinkError(DataId(), reason);
}

bool PMBusProtocol::write_pmbus_cmd(std::uint8_t cid1, std::uint8_t cid2) {
  return write_pmbus_cmd(cid1, cid2, nullptr, 0);
}

bool PMBusProtocol::write_pmbus_cmd(std::uint8_t cid1, std::uint8_t cid2, const std::uint8_t* data,
                                    unsigned len) {
  if (data == nullptr) len = 0;
  last_cid1_ = cid1;
  last_cid2_ = cid2;
  BeginExchange();
  if (auto obs = Observer()) {
    obs->OnRequest(DataId(), cid1, cid2, std::vector<std::uint8_t>(data, data + len));
  }
  yd1363::EncodeRequest(version_, address_, cid1, cid2, data, len, tx_);
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
  // end (Reset already ran) or a refusal, which the next poll repeats.
  if (requests_.load(std::memory_order_acquire) == before && IsProcessing()) EndExchange();
  return result;
}
