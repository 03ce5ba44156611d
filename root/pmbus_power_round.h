#pragma once
// The polling round of the root device: which request goes out when, and
// what each answer does.

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::RefreshStatus() {
  return false;
}

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::process_payload() {
  return true;
}
