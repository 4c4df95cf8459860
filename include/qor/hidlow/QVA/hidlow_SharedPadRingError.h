// How setting up a shared pad ring fails: one exception type whose message
// names the object and the cause, and whose Cause lets a program react.
#pragma once

#include <stdexcept>
#include <string>

namespace qor::hidlow::QVA {

class SharedPadRingError : public std::runtime_error {
public:
    enum class Cause {
        kInvalidName,       // no shared-memory object can have this name
        kInvalidMode,       // a mode that lets other users write, or shuts the owner out
        kUnknownOwner,      // the owner named to trust is no user of this machine
        kNotFound,          // no object of this name
        kExists,            // an object of this name exists where a new one was to be made
        kNotReady,          // its producer is still making it
        kNotAFile,          // the name is a FIFO, a directory or another non-regular file
        kWritableByOthers,  // a consumer's refusal: its group or others may write it
        kUntrustedOwner,    // a consumer's refusal: not its user's, root's or the owner named
        kNotOwner,          // a producer's refusal: another user's object
        kNotARing,          // another kind of object: no pad ring magic
        kWrongVersion,      // a pad ring of a format version this library does not read
        kWrongRingSize,     // the header gives a ring size other than PadLifoRing's
        kWrongRingOffset,   // the header puts the ring where it cannot be
        kTooSmall,          // the object ends before the ring does
        kWrongDeviceBlock,  // the header puts the device block where it cannot be, or sizes it
                            // wrong
        kDamaged,           // control fields no writer leaves, or no memory behind the ring
        kProducerAlive,     // another producer holds the ring
        kSystem,            // a system call failed; the message gives the reason
    };

    SharedPadRingError(Cause cause, const std::string& message)
        : std::runtime_error(message), m_cause(cause) {}

    Cause GetCause() const { return m_cause; }

private:
    Cause m_cause;
};

}  // namespace qor::hidlow::QVA
