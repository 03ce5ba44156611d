#pragma once
// Counts heap allocations of the whole program (the global operator new is
// replaced in alloc_counter.cpp), so a benchmark can report allocations per
// round or per value read.

#include <cstdint>

namespace bench_support {

std::uint64_t Allocations();

}  // namespace bench_support
