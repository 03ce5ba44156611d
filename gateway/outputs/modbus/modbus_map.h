#pragma once
// What the Modbus side serves, apart from libmodbus: the register map made
// from the units' block descriptions, the images of one snapshot of the site
// under that map, and the answer to one request PDU.
//
// The map is the same for every site with the same units: unit k of the site
// (from 0, in the site file's order) owns a block of kUnitStride input
// registers and as many discrete inputs from k * kUnitStride. A block opens
// with the unit's status, then each child's fields in the order of its
// description, each field with room for its largest count (a repeated row, an
// AC channel or a rectifier module, up to kMaxRows): a register stays the same
// value when a channel or a module comes or goes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "gateway/core/runner.h"
#include "gateway/core/site_state.h"

namespace korv_host::modbus {

// Registers (and discrete inputs) per unit.
constexpr std::uint32_t kUnitStride = 2000;
// The rows of a repeated field given room: a description allows 255, which
// would leave room for a few units only; rows past it are not served.
constexpr std::uint32_t kMaxRows = 32;
// The unit's status registers at the start of its block; its children from
// kFirstChildAt.
enum StatusRegister : std::uint32_t {
  kLinkAt = 0,    // SiteState::Link's code: 0 unknown, 1 answering, 2 not, 3 no round
  kRoundsAt = 1,  // rounds completed, 32 bits in two registers
  kAgeAt = 3,     // seconds since the last round; kNoAge before one or while stale
};
constexpr std::uint32_t kStaleInput = 0;  // discrete input: 1 while its values are stale
constexpr std::uint32_t kFirstChildAt = 10;
constexpr std::uint16_t kNoAge = 0xFFFF;
constexpr std::uint16_t kNoCode = 0xFFFF;  // a state the unit had no value for
// A value that is no reading: a float's quiet NaN.
constexpr std::uint32_t kNanBits = 0x7FC00000;

// How a float lies in its two registers: the high word first (ABCD) or the
// low word first (CDAB).
enum class WordOrder { kAbcd, kCdab };

// One row of the map: a value and where it lies.
struct Entry {
  enum class Kind { kFloat, kCode, kAlarm, kLink, kRounds, kAge, kStale };
  Kind kind = Kind::kFloat;
  bool discrete = false;  // a discrete input, else input registers
  std::uint32_t address = 0;
  std::uint32_t registers = 1;  // 2 for a float or the rounds
  unsigned unit = 0;
  unsigned child = 0;       // the child's data id; 0 for the unit's status
  std::string type;         // the child's device type
  std::string name;         // the element's name ("module3.current"), or the status's
  std::string measure;      // "V", "A", "Hz" or ""
  std::uint16_t field = 0;  // the field in the child's description
  std::uint16_t element = 0;
};

struct Map {
  std::vector<Entry> entries;   // by unit, then address
  std::uint32_t registers = 0;  // input registers served: [0, registers)
  std::uint32_t inputs = 0;     // discrete inputs served
  // What did not fit (a unit past the address space, a child past its
  // unit's block, a child without a description), a line each.
  std::vector<std::string> left_out;
};

Map BuildMap(const std::vector<Runner::UnitShape>& units);

// The values of one snapshot under the map: every register and input, those
// no entry names 0.
struct Image {
  std::vector<std::uint16_t> registers;
  std::vector<std::uint8_t> inputs;
};
Image BuildImage(const Map& map, const SiteState::Snapshot& snapshot, WordOrder order);

// The map as a table a person enters into a SCADA: a header line, then one
// line per entry.
std::string MapText(const Map& map, WordOrder order);

// The protocol's exception codes korv-host answers.
enum Exception : std::uint8_t {
  kIllegalFunction = 0x01,
  kIllegalAddress = 0x02,
  kIllegalValue = 0x03,
};
// The answer PDU (function code first) to the request PDU `pdu`, or, with an
// empty answer, the exception in `exception`. Only reads: 0x02 discrete
// inputs, 0x04 input registers and 0x03 holding registers (the input
// registers again). Never reads at or past `len`.
std::vector<std::uint8_t> Answer(const Image& image, const std::uint8_t* pdu, std::size_t len,
                                 Exception& exception);

}  // namespace korv_host::modbus
