// The platform's debug-break facility: where failed checks are reported.
#pragma once

enum qordbgBreakReason {
    QOR_DBG_BREAK_REASON_PANIC = 0,
    QOR_DBG_BREAK_REASON_ASSERT = 1,
    QOR_DBG_BREAK_REASON_USER = 2,
    QOR_DBG_BREAK_REASON_MAX_BIT = 0x40000000,
};

// Formats the message and hands it to the installed break handler. Returns
// only if the handler does.
void qordbgBreakWithTMessage_(qordbgBreakReason reason, const char* fileName, int line,
                              const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

namespace qor::dbg {

// message is already formatted and truncated to a bounded length.
using BreakHandler = void (*)(qordbgBreakReason reason, const char* fileName, int line,
                              const char* message);

// Installs handler and returns the previous one; nullptr restores the default,
// which writes one line naming the file, the line and the message to stderr
// and then calls abort().
BreakHandler SetBreakHandler(BreakHandler handler);

}  // namespace qor::dbg
