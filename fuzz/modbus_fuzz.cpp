// Arbitrary request PDUs against a small image: an answer is a read of what
// the image holds and fits a Modbus ADU, or there is an exception and no
// answer.

#include <cstdint>
#include <cstdlib>

#include "gateway/outputs/modbus/modbus_map.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korv_host::modbus;
  static const Image image = [] {
    Image i;
    i.registers.assign(3000, 0x1234);
    i.inputs.assign(3000, 1);
    return i;
  }();
  Exception exception = kIllegalFunction;
  const auto answer = Answer(image, data, size, exception);
  if (answer.size() > 253) std::abort();
  if (!answer.empty() && (answer[0] != data[0] || answer.size() != 2u + answer[1])) std::abort();
  if (answer.empty() && exception != kIllegalFunction && exception != kIllegalAddress &&
      exception != kIllegalValue) {
    std::abort();
  }
  return 0;
}
