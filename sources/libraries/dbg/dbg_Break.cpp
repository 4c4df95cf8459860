#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "qor/dbg/dbg_Enum.h"

namespace qor::dbg {
namespace {

const char* ReasonName(qordbgBreakReason reason) {
    switch (reason) {
        case QOR_DBG_BREAK_REASON_PANIC:
            return "panic";
        case QOR_DBG_BREAK_REASON_ASSERT:
            return "assertion failed";
        default:
            return "break";
    }
}

void ReportAndAbort(qordbgBreakReason reason, const char* fileName, int line, const char* message) {
    std::fprintf(stderr, "%s:%d: %s: %s\n", fileName, line, ReasonName(reason), message);
    std::abort();
}

std::atomic<BreakHandler> g_handler{nullptr};

}  // namespace

BreakHandler SetBreakHandler(BreakHandler handler) {
    // acq_rel: publishes the handler to the break call and hands back the one it replaces.
    return g_handler.exchange(handler, std::memory_order_acq_rel);
}

}  // namespace qor::dbg

void qordbgBreakWithTMessage_(qordbgBreakReason reason, const char* fileName, int line,
                              const char* format, ...) {
    // A fixed buffer: a break must not allocate, it may report a broken heap.
    char message[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);

    // acquire: pairs with the exchange in SetBreakHandler.
    const qor::dbg::BreakHandler handler = qor::dbg::g_handler.load(std::memory_order_acquire);
    (handler != nullptr ? handler : qor::dbg::ReportAndAbort)(reason, fileName, line, message);
}
