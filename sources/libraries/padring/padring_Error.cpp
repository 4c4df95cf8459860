#include "padring_Error.h"

#include <atomic>
#include <cstdio>

#include "qor/dbg/dbg_Enum.h"

namespace qor::padring {
namespace {

using Cause = hidlow::QVA::SharedPadRingError::Cause;

// This thread's last report, until a call takes it.
thread_local bool t_reported = false;
thread_local char t_report[QOR_PADRING_MESSAGE_SIZE];

void RecordReport(qordbgBreakReason, const char* fileName, int line, const char* message) {
    std::snprintf(t_report, sizeof t_report, "ring check failed at %s:%d: %s", fileName, line,
                  message);
    t_reported = true;
    // relaxed: only tells every thread that some report was made; each looks at its own flag
    g_ringCheckReports.fetch_add(1, std::memory_order_relaxed);
}

// Installed as this library loads. The handler it replaces is this library's
// own copy's default, which would abort the calling program.
[[maybe_unused]] const bool g_handlerInstalled = (dbg::SetBreakHandler(&RecordReport), true);

}  // namespace

std::atomic<unsigned long> g_ringCheckReports{0};

qor_padring_code Fail(qor_padring_error* error, qor_padring_code code, const char* message) {
    if (error != nullptr) {
        error->code = code;
        std::snprintf(error->message, sizeof error->message, "%s", message);
    }
    return code;
}

qor_padring_code FailNull(qor_padring_error* error, const char* function) {
    char message[128];
    std::snprintf(message, sizeof message, "%s: a null handle or pointer", function);
    return Fail(error, QOR_PADRING_INVALID_ARGUMENT, message);
}

qor_padring_code CodeOf(Cause cause) {
    switch (cause) {
        case Cause::kInvalidName:
            return QOR_PADRING_INVALID_NAME;
        case Cause::kInvalidMode:
            return QOR_PADRING_INVALID_MODE;
        case Cause::kUnknownOwner:
            return QOR_PADRING_UNKNOWN_OWNER;
        case Cause::kNotFound:
            return QOR_PADRING_NOT_FOUND;
        case Cause::kExists:
            return QOR_PADRING_EXISTS;
        case Cause::kNotReady:
            return QOR_PADRING_NOT_READY;
        case Cause::kNotAFile:
            return QOR_PADRING_NOT_A_FILE;
        case Cause::kWritableByOthers:
            return QOR_PADRING_WRITABLE_BY_OTHERS;
        case Cause::kUntrustedOwner:
            return QOR_PADRING_UNTRUSTED_OWNER;
        case Cause::kNotOwner:
            return QOR_PADRING_NOT_OWNER;
        case Cause::kNotARing:
            return QOR_PADRING_NOT_A_RING;
        case Cause::kWrongVersion:
            return QOR_PADRING_WRONG_VERSION;
        case Cause::kWrongRingSize:
            return QOR_PADRING_WRONG_RING_SIZE;
        case Cause::kWrongRingOffset:
            return QOR_PADRING_WRONG_RING_OFFSET;
        case Cause::kTooSmall:
            return QOR_PADRING_TOO_SMALL;
        case Cause::kWrongDeviceBlock:
            return QOR_PADRING_WRONG_DEVICE_BLOCK;
        case Cause::kDamaged:
            return QOR_PADRING_DAMAGED;
        case Cause::kProducerAlive:
            return QOR_PADRING_PRODUCER_ALIVE;
        case Cause::kSystem:
            return QOR_PADRING_SYSTEM;
    }
    return QOR_PADRING_SYSTEM;  // a cause this library does not know yet
}

bool TakeRingCheckReport(qor_padring_error* error) {
    if (!t_reported) {
        return false;
    }
    t_reported = false;
    Fail(error, QOR_PADRING_RING_CHECK_FAILED, t_report);
    return true;
}

}  // namespace qor::padring
