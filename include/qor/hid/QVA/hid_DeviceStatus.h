// The public pad sample: what a producer hands to the ring and a consumer gets
// back. The ring copies the fields unchanged and gives them no meaning.
#pragma once

#include <cstddef>

#include "qor/types.h"

namespace qor::hid::QVA {

struct AnalogStickStatus {
    s16 x;
    s16 y;
};

struct PadStatus {
    bit32 hold;
    bit32 trigger;
    bit32 release;
    AnalogStickStatus stick;
};

static_assert(sizeof(AnalogStickStatus) == 4 && offsetof(AnalogStickStatus, y) == 2);
static_assert(sizeof(PadStatus) == 16 && alignof(PadStatus) == 4);
static_assert(offsetof(PadStatus, trigger) == 4 && offsetof(PadStatus, release) == 8 &&
              offsetof(PadStatus, stick) == 12);

}  // namespace qor::hid::QVA
