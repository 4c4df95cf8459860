#include "qor/hidlow/QVA/hidlow_SharedPadDevice.h"

#include <cstring>

#include "qor/fnd/fnd_Fence.h"

namespace qor::hidlow::QVA {
namespace {

constexpr s32 kNameCells = SHARED_PAD_DEVICE_NAME_SIZE / 4;

// The longest prefix of name that fits the room with its zero and does not
// end inside a UTF-8 character.
std::size_t FittingLength(const char* name) {
    std::size_t length = std::strlen(name);
    if (length < static_cast<std::size_t>(SHARED_PAD_DEVICE_NAME_SIZE)) {
        return length;
    }
    length = SHARED_PAD_DEVICE_NAME_SIZE - 1;
    while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xc0) == 0x80) {
        --length;  // name[length] continues a character: cut before its first byte
    }
    return length;
}

}  // namespace

void SharedPadDeviceBlock::Write(bool connected, s32 connections, const char* pName) {
    // Odd already when the last producer died while rewriting the block.
    const bit32 rewriting = static_cast<bit32>(m_sequence) | 1u;
    m_sequence = rewriting;
    // release: the odd count above reaches a reader before any field below
    fnd::ReleaseFence();
    m_connected = connected ? 1 : 0;
    m_connections = connections;
    const std::size_t length = FittingLength(pName);
    for (s32 cell = 0; cell < kNameCells; ++cell) {
        bit32 word = 0;
        for (s32 byte = 0; byte < 4; ++byte) {
            const std::size_t at = static_cast<std::size_t>(cell) * 4 + byte;
            const bit32 character = at < length ? static_cast<unsigned char>(pName[at]) : 0;
            word |= character << (8 * byte);
        }
        m_name[cell] = word;
    }
    // release: every field above reaches a reader before the even count
    fnd::ReleaseFence();
    m_sequence = rewriting + 1;
}

bool SharedPadDeviceBlock::Read(bool* pConnected, s32* pConnections, char* pName,
                                s32 maxAttempts) const {
    for (s32 attempt = 0; attempt < maxAttempts; ++attempt) {
        const bit32 before = m_sequence;
        // acquire: pairs with the release before the even count; the fields are at least that new
        fnd::AcquireFence();
        const bool connected = m_connected != 0;
        const s32 connections = m_connections;
        for (s32 cell = 0; cell < kNameCells; ++cell) {
            const bit32 word = m_name[cell];
            for (s32 byte = 0; byte < 4; ++byte) {
                pName[cell * 4 + byte] = static_cast<char>((word >> (8 * byte)) & 0xff);
            }
        }
        // acquire: pairs with the release after the odd count; a field of a rewrite moves the count
        fnd::AcquireFence();
        if ((before & 1u) == 0 && m_sequence == before) {
            pName[SHARED_PAD_DEVICE_NAME_SIZE - 1] = '\0';
            *pConnected = connected;
            *pConnections = connections;
            return true;
        }
    }
    return false;
}

}  // namespace qor::hidlow::QVA
