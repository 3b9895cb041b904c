// The vector type of the distance kernels: four doubles in one AVX2 register (two SSE2
// registers in the baseline build), written with GCC/Clang vector extensions. Each lane
// computes one pair's sum with the scalar sequence of operations, so the lanes give the
// bits of the plain loop. Vectors are moved with memcpy only: unaligned loads, and no
// vector passed by value (whose ABI differs between the two builds).
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::metrics {

typedef double lanes __attribute__((vector_size(32)));
// The result of comparing two `lanes`: all bits set where true.
typedef std::int64_t mask_lanes __attribute__((vector_size(32)));
inline constexpr std::size_t lane_count = 4;

}  // namespace velmora::metrics
