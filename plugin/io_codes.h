#pragma once
// DeviceIoControl codes the plug-in's devices answer, for hosts that want
// more than values and blocks.

namespace psma {

// Whether the last round moved the screen's values significantly (beyond the
// "appSetting" thresholds, or the first data at all). Out: one byte, 0 or 1.
// AC and DC screens answer 0 (done); other devices -2 (not supported).
constexpr int kIoValuesChanged = 0x5001;

}  // namespace psma
