#pragma once
// The host's protocol layer for units on a YD/T 1363.3 line: it sends the
// requests a device asks for, decodes the answers into the answer frame and
// hands each one to the device's process_payload.
//
// Answer frame, as process_payload reads it through answer_:
//   byte 0     protocol version
//   byte 1     unit address
//   byte 2     CID1
//   byte 3     return code
//   byte 4-5   LENID, unsigned 16-bit, low byte first (INFO length in hex characters)
//   byte 6..   INFO bytes
// answer_len_ is the number of bytes the host holds at answer_.

#include <cstdint>
#include <string>
#include <vector>

#include "host/korv_device.h"

class PMBusProtocol : public KorvSPDevice {
 public:
  PMBusProtocol();
  ~PMBusProtocol() override;

  // Reads the link settings: "address" (0..255, default 1). False when the
  // settings are not an object or the address is out of range.
  bool InitSetting(const Json::Value& settings) override;

  // Handles one answer frame (layout above); the default refuses it.
  virtual bool process_payload();
  // A link fault ended the exchange: no answer, a bad frame or a non-zero
  // return code. The next poll repeats the request.
  virtual void process_error(int code, const std::string& reason);

  // Sends request cid1/cid2 to the unit, with an optional INFO field.
  bool write_pmbus_cmd(std::uint8_t cid1, std::uint8_t cid2);
  bool write_pmbus_cmd(std::uint8_t cid1, std::uint8_t cid2, const std::uint8_t* data,
                       unsigned len);

  // Delivers a decoded answer frame: sets the answer frame, calls
  // process_payload and ends the exchange when the payload handler sent no
  // new request. Returns what process_payload returned.
  bool HandleAnswer(const std::uint8_t* frame, unsigned len);

  int Step() const { return cmd_step_; }
  std::uint8_t ProtocolVersion() const { return version_; }
  std::uint8_t Address() const { return address_; }
  void SetProtocolVersion(std::uint8_t v) { version_ = v; }
  // The last request sent, as cid1, cid2 and INFO.
  std::uint8_t LastCid1() const { return last_cid1_; }
  std::uint8_t LastCid2() const { return last_cid2_; }

 protected:
  int cmd_step_ = 0;                        // command step of the round
  const std::uint8_t* answer_ = nullptr;    // answer frame being handled
  unsigned answer_len_ = 0;                 // bytes held at answer_
  std::uint8_t version_ = 0x20;             // protocol version byte sent in requests
  std::uint8_t address_ = 1;                // unit address

 private:
  std::uint8_t last_cid1_ = 0;
  std::uint8_t last_cid2_ = 0;
  std::vector<std::uint8_t> tx_;            // encoded request
};
