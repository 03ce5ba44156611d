#pragma once
// DeviceIoControl codes the plug-in's devices answer, for hosts that want
// more than values and blocks.

namespace psma {

// Whether the last round moved the screen's values significantly (beyond the
// "appSetting" thresholds, or the first data at all). Out: one byte, 0 or 1.
// AC and DC screens answer 0 (done); other devices -2 (not supported).
constexpr int kIoValuesChanged = 0x5001;

// The answer to kIoValuesChanged: 0 with one byte written, -1 without room.
inline int AnswerValuesChanged(bool changed, void* out, int out_len, int& returned) {
  returned = 0;
  if (out == nullptr || out_len < 1) return -1;
  *static_cast<unsigned char*>(out) = changed ? 1 : 0;
  returned = 1;
  return 0;
}

}  // namespace psma
