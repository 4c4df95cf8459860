// How the C library reports failures: a code and a message per failure, no
// exception ever crossing into C, and the ring's failed checks (which it
// reports to the break handler) turned into a code like any other failure.
#pragma once

#include <atomic>
#include <exception>
#include <new>

#include "qor/hidlow/QVA/hidlow_SharedPadRingError.h"
#include "qor/padring.h"

namespace qor::padring {

// Fills error, if given, with code and message; returns code.
qor_padring_code Fail(qor_padring_error* error, qor_padring_code code, const char* message);

// The failure of a call given a null handle or pointer.
qor_padring_code FailNull(qor_padring_error* error, const char* function);

qor_padring_code CodeOf(hidlow::QVA::SharedPadRingError::Cause cause);

// Runs call; whatever it throws becomes the code and message it returns.
template <typename Call>
qor_padring_code Guarded(qor_padring_error* error, const Call& call) noexcept {
    try {
        call();
        return QOR_PADRING_OK;
    } catch (const hidlow::QVA::SharedPadRingError& failure) {
        return Fail(error, CodeOf(failure.GetCause()), failure.what());
    } catch (const std::bad_alloc&) {
        return Fail(error, QOR_PADRING_OUT_OF_MEMORY, "out of memory");
    } catch (const std::exception& failure) {
        return Fail(error, QOR_PADRING_SYSTEM, failure.what());
    } catch (...) {
        return Fail(error, QOR_PADRING_SYSTEM, "an unknown failure");
    }
}

// Reports of failed ring checks, made by any thread. This library keeps its
// own break handler, which records a report and returns, so the ring returns
// without touching the ring or the cursor, and the call fails instead.
// Hidden, so that the library reaches it directly.
[[gnu::visibility("hidden")]] extern std::atomic<unsigned long> g_ringCheckReports;

// Whether this thread made the last reports; fills error with what it reported.
bool TakeRingCheckReport(qor_padring_error* error);

// The ring's checks that fail during one call on this thread; inline, as the
// calls that use it are the ring's own fast paths.
class RingChecks {
public:
    // relaxed: a report made later on this thread follows this load in program order
    RingChecks() : m_reportsBefore(g_ringCheckReports.load(std::memory_order_relaxed)) {}

    // Whether a ring check failed on this thread since construction; fills
    // error with what it reported.
    bool Failed(qor_padring_error* error) const {
        // relaxed: this thread's own report is seen in program order; another's only
        // leads to a look at this thread's own
        return g_ringCheckReports.load(std::memory_order_relaxed) != m_reportsBefore &&
               TakeRingCheckReport(error);
    }

private:
    unsigned long m_reportsBefore;
};

}  // namespace qor::padring
