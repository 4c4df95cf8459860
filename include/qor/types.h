// Scalar types shared by every qor library and by the records in shared memory.
#pragma once

#include <cstdint>

namespace qor {

using s16 = std::int16_t;
using s32 = std::int32_t;
using s64 = std::int64_t;
using bit32 = std::uint32_t;  // a set of bits, never arithmetic
using f32 = float;

static_assert(sizeof(f32) == 4, "f32 must be IEEE 754 single precision");

}  // namespace qor
