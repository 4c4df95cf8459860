// The consumer's calls of the C library: SharedPadRingConsumer and the ring's
// counting read behind a handle.
#include <cstddef>
#include <new>
#include <utility>

#include "padring_Error.h"
#include "qor/hid/QVA/hid_DeviceStatus.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingConsumer.h"
#include "qor/padring.h"

struct qor_padring_consumer {
    explicit qor_padring_consumer(qor::hidlow::QVA::SharedPadRingConsumer opened)
        : consumer(std::move(opened)), ring(consumer.Ring()) {}

    qor::hidlow::QVA::SharedPadRingConsumer consumer;
    const qor::hidlow::QVA::PadLifoRing& ring;  // found once, read every call
};

namespace {

using qor::hid::QVA::PadStatus;
using qor::padring::FailNull;
using qor::padring::Guarded;

// The C sample is PadStatus, byte for byte.
static_assert(sizeof(qor_padring_sample) == sizeof(PadStatus) &&
              offsetof(qor_padring_sample, trigger) == offsetof(PadStatus, trigger) &&
              offsetof(qor_padring_sample, release) == offsetof(PadStatus, release) &&
              offsetof(qor_padring_sample, stick_x) == offsetof(PadStatus, stick) &&
              offsetof(qor_padring_sample, stick_y) == offsetof(PadStatus, stick) + 2);
static_assert(sizeof(qor_padring_cursor) == 16 && offsetof(qor_padring_cursor, slot) == 8);

}  // namespace

extern "C" {

qor_padring_code qor_padring_consumer_open(const char* name, const char* owner,
                                           qor_padring_consumer** consumer,
                                           qor_padring_error* error) {
    if (name == nullptr || consumer == nullptr) {
        return FailNull(error, "qor_padring_consumer_open");
    }
    *consumer = nullptr;
    return Guarded(error, [&] {
        *consumer = new qor_padring_consumer(
            qor::hidlow::QVA::SharedPadRingConsumer::Open(name, owner != nullptr ? owner : ""));
    });
}

qor_padring_code qor_padring_read(qor_padring_consumer* consumer, qor_padring_sample* samples,
                                  int32_t room, int32_t* count, qor_padring_cursor* cursor,
                                  int32_t* missed, bool* missed_exact, qor_padring_error* error) {
    if (consumer == nullptr || samples == nullptr || count == nullptr || cursor == nullptr ||
        missed == nullptr || missed_exact == nullptr) {
        if (count != nullptr) {
            *count = 0;
        }
        return FailNull(error, "qor_padring_read");
    }
    const qor::padring::RingChecks checks;
    // The caller's memory is written as what it is laid out as: PadStatus.
    const qor::hidlow::QVA::PadLifoRingMissed passedOver = consumer->ring.ReadDataCountingMissed(
        reinterpret_cast<PadStatus*>(samples), room, count, &cursor->lap_tick, &cursor->slot);
    if (checks.Failed(error)) {
        return QOR_PADRING_RING_CHECK_FAILED;  // nothing delivered, the cursor as it was
    }
    *missed = passedOver.count;
    *missed_exact = passedOver.exact;
    return QOR_PADRING_OK;
}

qor_padring_code qor_padring_producer_alive(const qor_padring_consumer* consumer, bool* alive,
                                            qor_padring_error* error) {
    if (consumer == nullptr || alive == nullptr) {
        return FailNull(error, "qor_padring_producer_alive");
    }
    return Guarded(error, [&] { *alive = consumer->consumer.ProducerAlive(); });
}

qor_padring_code qor_padring_consumer_close(qor_padring_consumer* consumer) {
    if (consumer == nullptr) {
        return FailNull(nullptr, "qor_padring_consumer_close");
    }
    delete consumer;
    return QOR_PADRING_OK;
}

}  // extern "C"
