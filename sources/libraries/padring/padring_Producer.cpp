// The producer's calls of the C library: SharedPadRingProducer and the ring's
// writer behind a handle.
#include <sys/types.h>

#include <new>
#include <utility>

#include "padring_Error.h"
#include "qor/hid/QVA/hid_DeviceStatus.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingProducer.h"
#include "qor/padring.h"

struct qor_padring_producer {
    explicit qor_padring_producer(qor::hidlow::QVA::SharedPadRingProducer made)
        : producer(std::move(made)), ring(producer.Ring()) {}

    qor::hidlow::QVA::SharedPadRingProducer producer;
    qor::hidlow::QVA::PadLifoRing& ring;  // found once, written every call
};

namespace {

using qor::padring::FailNull;
using qor::padring::Guarded;

}  // namespace

extern "C" {

qor_padring_code qor_padring_producer_open(const char* name, unsigned int mode,
                                           qor_padring_producer** producer,
                                           qor_padring_error* error) {
    if (name == nullptr || producer == nullptr) {
        return FailNull(error, "qor_padring_producer_open");
    }
    *producer = nullptr;
    return Guarded(error, [&] {
        *producer =
            new qor_padring_producer{qor::hidlow::QVA::SharedPadRingProducer::CreateOrTakeOver(
                name, static_cast<mode_t>(mode))};
    });
}

qor_padring_code qor_padring_write(qor_padring_producer* producer,
                                   const qor_padring_sample* samples, int32_t count,
                                   qor_padring_error* error) {
    if (producer == nullptr || samples == nullptr) {
        return FailNull(error, "qor_padring_write");
    }
    const qor::padring::RingChecks checks;
    // The caller's samples are read as what they are laid out as: PadStatus.
    producer->ring.WriteData(reinterpret_cast<const qor::hid::QVA::PadStatus*>(samples), count);
    return checks.Failed(error) ? QOR_PADRING_RING_CHECK_FAILED : QOR_PADRING_OK;
}

qor_padring_code qor_padring_remove_name(qor_padring_producer* producer, qor_padring_error* error) {
    if (producer == nullptr) {
        return FailNull(error, "qor_padring_remove_name");
    }
    return Guarded(error, [&] { producer->producer.RemoveName(); });
}

qor_padring_code qor_padring_producer_close(qor_padring_producer* producer) {
    if (producer == nullptr) {
        return FailNull(nullptr, "qor_padring_producer_close");
    }
    delete producer;
    return QOR_PADRING_OK;
}

}  // extern "C"
