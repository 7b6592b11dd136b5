#pragma once

#include "TsPacket.h"

#include <cstdint>
#include <span>
#include <vector>

namespace fastzap {

// Cuts a byte stream that arrives in pieces of any size (UDP datagrams, usually seven packets
// each, but a packet may be split across two of them) into whole packets.
//
// A packet is taken when its first byte is the sync byte and the byte 188 further on, if it has
// already arrived, is one too. That second check drops a packet whose tail was lost with a
// datagram and whose place was taken by the next datagram's bytes, and it is how sync is found
// again after garbage: the framer skips ahead to the first sync byte followed by another one
// packet later.
class TsFramer
{
public:
    // Appends the whole packets that `data` completes to `out`.
    void Push(std::span<const std::uint8_t> data, std::vector<TsPacket>& out);

    // Bytes thrown away while looking for sync, and how often sync was lost.
    std::uint64_t SkippedBytes() const { return m_skipped; }
    std::uint64_t SyncLosses() const { return m_syncLosses; }

private:
    // Consumes m_pending as far as it can; what remains is shorter than a packet plus one byte.
    void Drain(std::vector<TsPacket>& out);

    std::vector<std::uint8_t> m_pending;
    bool m_locked = false;
    std::uint64_t m_skipped = 0;
    std::uint64_t m_syncLosses = 0;
};

} // namespace fastzap
