#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace fastzap {

inline constexpr std::size_t kPacketSize = 188;
inline constexpr std::uint8_t kSyncByte = 0x47;
inline constexpr std::uint16_t kPatPid = 0x0000;
inline constexpr std::uint16_t kNullPid = 0x1FFF;
inline constexpr std::uint16_t kPidCount = 0x2000;

// One transport packet: exactly its 188 bytes, so a vector of packets is the stream itself and
// nothing is copied or parsed twice. Every accessor reads bits in place. The adaptation field's
// length byte comes off the wire, so everything inside the field is read only after that length
// has been checked against the packet's end.
struct TsPacket
{
    std::array<std::uint8_t, kPacketSize> bytes;

    bool TransportError() const { return (bytes[1] & 0x80) != 0; }
    bool PayloadUnitStart() const { return (bytes[1] & 0x40) != 0; }
    std::uint16_t Pid() const { return std::uint16_t(((bytes[1] & 0x1F) << 8) | bytes[2]); }
    bool HasAdaptationField() const { return (bytes[3] & 0x20) != 0; }
    bool HasPayload() const { return (bytes[3] & 0x10) != 0; }
    std::uint8_t ContinuityCounter() const { return bytes[3] & 0x0F; }

    // The adaptation field's length as written, 0 when there is none. A length that runs past
    // the packet is not clamped here; the readers below treat it as no field at all.
    std::size_t AdaptationFieldLength() const { return HasAdaptationField() ? bytes[4] : 0; }
    bool AdaptationFieldFits() const { return AdaptationFieldLength() <= kPacketSize - 5; }

    // The flags byte, read only when the field has one and its length fits the packet.
    std::uint8_t AdaptationFlags() const
    {
        return AdaptationFieldLength() >= 1 && AdaptationFieldFits() ? bytes[5] : 0;
    }
    bool Discontinuity() const { return (AdaptationFlags() & 0x80) != 0; }
    bool RandomAccess() const { return (AdaptationFlags() & 0x40) != 0; }

    // Where the payload starts; kPacketSize when there is none or the adaptation field's length
    // is out of range.
    std::size_t PayloadOffset() const
    {
        if (!HasPayload())
            return kPacketSize;
        if (!HasAdaptationField())
            return 4;
        const std::size_t offset = 5 + std::size_t(bytes[4]);
        return offset <= kPacketSize ? offset : kPacketSize;
    }
    std::span<const std::uint8_t> Payload() const
    {
        return std::span<const std::uint8_t>(bytes).subspan(PayloadOffset());
    }

    void SetContinuityCounter(std::uint8_t counter)
    {
        bytes[3] = std::uint8_t((bytes[3] & 0xF0) | (counter & 0x0F));
    }
    void ClearRandomAccess()
    {
        if (AdaptationFlags() != 0)
            bytes[5] &= 0xBF;
    }

    bool operator==(const TsPacket&) const = default;
};

// The PES header that opens a packet's payload: where its time stamps lie, each only when the
// header's own length makes room for it, and where the elementary stream starts when the whole
// header is in this packet. Offsets are into the packet's bytes. The streams that have no
// optional header (padding, private stream 2, ECM, EMM, DSM-CC and the like) have none of these.
struct PesStart
{
    std::optional<std::size_t> pts;
    std::optional<std::size_t> dts;
    std::optional<std::size_t> data;
};

inline bool HasOptionalPesHeader(std::uint8_t streamId)
{
    switch (streamId) {
    case 0xBC: // program stream map
    case 0xBE: // padding
    case 0xBF: // private stream 2
    case 0xF0: // ECM
    case 0xF1: // EMM
    case 0xF2: // DSM-CC
    case 0xF8: // H.222.1 type E
    case 0xFF: // program stream directory
        return false;
    default:
        return true;
    }
}

// A PTS or DTS as its five bytes in a PES header hold it, markers aside: 33 bits of 90 kHz.
inline std::uint64_t PesStamp(const std::uint8_t* at)
{
    return (std::uint64_t(at[0] & 0x0E) << 29) | (std::uint64_t(at[1]) << 22) |
           (std::uint64_t(at[2] & 0xFE) << 14) | (std::uint64_t(at[3]) << 7) |
           (std::uint64_t(at[4]) >> 1);
}

inline std::optional<PesStart> PesStartOf(const TsPacket& packet)
{
    if (!packet.PayloadUnitStart())
        return std::nullopt;
    const std::span<const std::uint8_t> p = packet.Payload();
    if (p.size() < 9 || p[0] != 0 || p[1] != 0 || p[2] != 1 || !HasOptionalPesHeader(p[3]) ||
        (p[6] & 0xC0) != 0x80)
        return std::nullopt;
    const std::size_t at = packet.PayloadOffset();
    const std::size_t length = p[8];
    const int flags = p[7] >> 6;
    PesStart start;
    if ((flags & 2) != 0 && length >= 5 && p.size() >= 14)
        start.pts = at + 9;
    if (flags == 3 && length >= 10 && p.size() >= 19)
        start.dts = at + 14;
    if (9 + length <= p.size())
        start.data = at + 9 + length;
    return start;
}

static_assert(sizeof(TsPacket) == kPacketSize, "a packet is its bytes and nothing else");

} // namespace fastzap
