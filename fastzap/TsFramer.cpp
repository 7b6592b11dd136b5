#include "TsFramer.h"

#include <algorithm>
#include <cstring>

namespace fastzap {

void TsFramer::Push(std::span<const std::uint8_t> data, std::vector<TsPacket>& out)
{
    // The usual case costs one copy per packet: in sync, nothing carried over, a datagram of
    // whole packets. Anything else goes through the carry buffer.
    if (data.empty())
        return;
    std::size_t at = 0;
    if (m_pending.empty() && m_locked) {
        while (data.size() - at >= kPacketSize && data[at] == kSyncByte) {
            const std::size_t next = at + kPacketSize;
            if (next < data.size() && data[next] != kSyncByte)
                break;
            TsPacket& packet = out.emplace_back();
            std::memcpy(packet.bytes.data(), data.data() + at, kPacketSize);
            at = next;
        }
        if (at == data.size())
            return;
    }
    m_pending.insert(m_pending.end(), data.begin() + std::ptrdiff_t(at), data.end());
    Drain(out);
}

void TsFramer::Drain(std::vector<TsPacket>& out)
{
    const std::uint8_t* bytes = m_pending.data();
    const std::size_t size = m_pending.size();
    std::size_t at = 0;
    for (;;) {
        if (m_locked) {
            if (size - at < kPacketSize)
                break;
            const bool confirmed = at + kPacketSize >= size || bytes[at + kPacketSize] == kSyncByte;
            if (bytes[at] == kSyncByte && confirmed) {
                TsPacket& packet = out.emplace_back();
                std::memcpy(packet.bytes.data(), bytes + at, kPacketSize);
                at += kPacketSize;
                continue;
            }
            m_locked = false;
            ++m_syncLosses;
        }
        // Hunting: the next sync byte with another one packet further on. A candidate whose
        // partner has not arrived yet is kept until it has.
        std::size_t candidate = at;
        bool waiting = false;
        for (;;) {
            const void* found = std::memchr(bytes + candidate, kSyncByte, size - candidate);
            if (found == nullptr) {
                candidate = size;
                break;
            }
            candidate = std::size_t(static_cast<const std::uint8_t*>(found) - bytes);
            if (candidate + kPacketSize >= size) {
                waiting = true;
                break;
            }
            if (bytes[candidate + kPacketSize] == kSyncByte)
                break;
            ++candidate;
        }
        m_skipped += candidate - at;
        at = candidate;
        if (waiting || at == size)
            break;
        m_locked = true;
    }
    m_pending.erase(m_pending.begin(), m_pending.begin() + std::ptrdiff_t(at));
}

} // namespace fastzap
