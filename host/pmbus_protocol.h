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
//
// Link faults (yd1363::Fault) end the exchange through process_error, whose
// code is the fault's number. A unit that stops answering is told once: the
// first timeouts in a row are silent retries, the third gives one warning,
// the fifth reports the unit as not answering, and the next frame from it
// reports it answering again. While it is not answering it is asked once
// every kLostRetry at most, so a silent unit on a shared bus costs the
// others one timeout per kLostRetry, not one per turn.
//
// A refused answer (process_payload sent no next request and did not end the
// round) ends the exchange, and the next poll waits: 1 s after the first
// refusal, twice as long after each further one, at most 30 s; a completed
// round ends the wait. A unit that keeps sending an answer it cannot take is
// then asked a few times a minute, not as fast as the line allows. Faults
// that end the exchange (a return code, a broken frame) wait the same way
// from the second in a row on; after kLostAfter refusals or faults with no
// round completed, the unit is told answering but completing no round
// (OnLinkRounds), and its next completed round tells it completing again.
//
// A link fault the same as the last one told (the same code and text) within
// the controller's repeat window is held and counted, as repeated log lines
// are: its count is told as "<fault> (repeated N times)" before the next
// different fault, at a completed round once the window has passed, or when
// it comes again after the window; a unit answering every request with an error code gives one
// fault line and one count a window, not a line a request.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "host/korv_device.h"
#include "host/yd1363.h"

class PMBusProtocol : public KorvSPDevice {
 public:
  PMBusProtocol();
  ~PMBusProtocol() override;

  // Reads the link settings: "address" (0..255, default 1) and
  // "answer_timeout_ms" (1..60000, default 1000: how long the unit may take
  // before its answer starts) and "baud" (the line rate, default 9600: a
  // standard rate). False when the settings are not an object or a value is
  // out of range, with the reason in SettingsError().
  bool InitSetting(const Json::Value& settings) override;

  // Bytes received from the line, in any chunking: finds the answer frame,
  // checks it and hands it to HandleAnswer, or reports its fault to
  // process_error. Only a valid answer from the unit's address is contact. A
  // valid frame from another address is told as a `wrong address` fault but
  // ends nothing: the unit may still answer before its deadline; so is a
  // request to the unit's address (CID2 a command: another master on the
  // bus), told under no fault's code. An echo of
  // the request just sent (an adapter that echoes what it sends) is skipped,
  // counted and told once. Frames while no exchange is outstanding are
  // dropped. The rest of a chunk after the answer or a fault is stale and
  // dropped too.
  void process(std::uint8_t* data, unsigned len) override;

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

  // Time the outstanding answer may take from the moment the request was
  // written: the answer timeout plus the request's and the answer's
  // characters at the line rate (10 bits each). Until the answer's LENGTH
  // has arrived the answer counts as the shortest one; then as the
  // characters it announces, so the budget grows with the answer.
  std::chrono::microseconds AnswerBudget() const;
  // When the outstanding answer is due.
  std::chrono::steady_clock::time_point AnswerDeadline() const { return sent_at_ + AnswerBudget(); }
  // The answer did not come in time: reports the timeout to process_error.
  void AnswerTimedOut();
  std::chrono::milliseconds AnswerTimeout() const { return answer_timeout_; }
  // Ends the exchange (see KorvSPDevice::Reset); a completed round also ends
  // the wait after refusals, and the root's last-update time becomes the
  // second the round's first request went out: the pacing counts from the
  // round's start, so a round that spans the turn of a second (one of 1.06 s
  // at 9600 baud) still lets the next start RoundSeconds() after it, not a
  // second later.
  void Reset() override;

  // When the next poll may go out: after a refusal, the refusal's time plus
  // RefusalBackoff(); after a timeout of a unit not answering, kLostRetry
  // later; else any time (the epoch of the steady clock).
  std::chrono::steady_clock::time_point RetryAt() const { return retry_at_; }
  // The wait the last refusal set (zero when none is set).
  std::chrono::milliseconds RefusalBackoff() const { return backoff_; }
  static constexpr std::chrono::milliseconds kFirstBackoff{1000};
  static constexpr std::chrono::milliseconds kMaxBackoff{30000};

  // The unit starts a round once this many whole seconds of the local clock
  // have passed since its last update (the root's pacing; 1 unless it says
  // otherwise). The line's thread sleeps through the seconds in which no
  // round can become due.
  std::int64_t RoundSeconds() const { return round_seconds_; }
  // Whole seconds of the local clock until a round may be due: 0 when one
  // may be due now.
  std::int64_t SecondsToRound() const;

  // The line to the unit is gone (its port failed, the connection to its
  // serial device server was lost): the exchange ends and the unit is told
  // not answering with `text`, once; its next answer tells it answering
  // again.
  void LineDown(const std::string& text);
  static constexpr std::chrono::milliseconds kLostRetry{5000};

  // Whether the last exchange ended in a link fault (a timeout, a broken
  // frame, a return code): the line may still carry the rest of an answer.
  bool EndedByFault() const { return ended_by_fault_; }
  // Valid frames from the unit's address so far (what counts as contact).
  std::uint64_t Contacts() const { return contacts_; }
  // Echoes of requests skipped so far.
  std::uint64_t Echoes() const { return echoes_; }
  // Timeouts in a row, since the unit's last valid frame.
  unsigned TimeoutsInARow() const { return timeouts_in_a_row_; }

  // Whether the unit answers, as last told (true before anything was told).
  // Safe to call from any thread.
  bool Answering() const { return link_told_.load() != LinkTold::kNotAnswering; }
  // False while the unit is told answering but completing no round.
  bool CompletesRounds() const { return link_told_.load() != LinkTold::kNoRound; }
  // Requests of another master to the unit's address skipped so far.
  std::uint64_t ForeignRequests() const { return foreign_; }
  // Refusals and faults in a row, with no round completed, before the unit
  // is told completing no round.
  static constexpr unsigned kNoRoundAfter = 5;

  int Step() const { return cmd_step_; }
  std::uint8_t ProtocolVersion() const { return version_; }
  std::uint8_t Address() const { return address_; }
  void SetProtocolVersion(std::uint8_t v) { version_ = v; }
  // The last request sent, as cid1, cid2 and INFO.
  std::uint8_t LastCid1() const { return last_cid1_; }
  std::uint8_t LastCid2() const { return last_cid2_; }

 protected:
  int cmd_step_ = 0;                      // command step of the round
  const std::uint8_t* answer_ = nullptr;  // answer frame being handled
  unsigned answer_len_ = 0;               // bytes held at answer_
  std::uint8_t version_ = 0x20;           // protocol version byte sent in requests
  std::uint8_t address_ = 1;              // unit address
  std::int64_t round_seconds_ = 1;        // see RoundSeconds()

 private:
  enum class LinkTold { kNothing, kAnswering, kWarned, kNotAnswering, kNoRound };
  std::string FaultLine(yd1363::Fault fault, const std::string& detail) const;
  // Tells a link fault, or holds it when it repeats the last one told within
  // the repeat window; TellHeldFaults tells the count held.
  void TellFault(yd1363::Fault fault, const std::string& text);
  void TellHeldFaults();
  // An exchange ended with no progress (a refusal, a fault): the wait before
  // the next poll, and the state of a unit that answers but completes nothing.
  void ExchangeFailed(bool back_off);
  void ReportFault(yd1363::Fault fault, const std::string& detail);
  void HeardFromUnit();
  bool IsEcho(const yd1363::Frame& f) const;
  void SkipEcho();

  std::uint8_t last_cid1_ = 0;
  std::uint8_t last_cid2_ = 0;
  // The local second the round's first request went out (the first request
  // since the last completed round), while a round is open.
  bool round_open_ = false;
  std::int64_t round_start_s_ = 0;
  std::vector<std::uint8_t> last_info_;
  bool ended_by_fault_ = false;
  std::uint64_t echoes_ = 0;
  std::uint64_t contacts_ = 0;
  std::uint64_t foreign_ = 0;
  // The last fault told, and how many of it are held since.
  struct ToldFault {
    yd1363::Fault fault = yd1363::Fault::kNone;
    std::string text;
    std::int64_t since = 0;  // local seconds
    unsigned held = 0;
  } told_fault_;
  unsigned failed_in_a_row_ = 0;        // refusals and faults since the last completed round
  std::vector<std::uint8_t> tx_;        // encoded request
  yd1363::Decoder decoder_;             // the answer being received
  std::vector<std::uint8_t> rx_frame_;  // decoded answer frame (layout above)
  std::chrono::milliseconds answer_timeout_{1000};
  std::chrono::steady_clock::time_point sent_at_{};
  unsigned timeouts_in_a_row_ = 0;
  std::chrono::milliseconds backoff_{0};
  std::chrono::steady_clock::time_point retry_at_{};
  // Written on the line's thread; Answering() may be read from any.
  std::atomic<LinkTold> link_told_{LinkTold::kNothing};
};
