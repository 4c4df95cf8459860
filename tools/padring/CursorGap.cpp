#include "CursorGap.h"

#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"

namespace padring {

qor::s64 MissedSamples(qor::s64 tickBefore, qor::s32 indexBefore, qor::s64 tick, qor::s32 index,
                       qor::s32 count) {
    if (tickBefore < 0) {
        return 0;  // the first read: nothing was missed yet
    }
    const qor::s32 written =
        index - indexBefore + (tick == tickBefore ? 0 : qor::hidlow::QVA::PAD_LIFORING_BUFFER_NUM);
    return written > count ? written - count : 0;
}

}  // namespace padring
