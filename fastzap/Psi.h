#pragma once

#include "TsPacket.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace fastzap {

enum class VideoCodec : std::uint8_t
{
    None,
    Mpeg2,
    H264,
    H265
};

// The video codec a PMT's stream_type names, or None for anything that is not video we know.
VideoCodec CodecOfStreamType(std::uint8_t streamType);

// CRC-32 as MPEG-2 sections use it (polynomial 0x04C11DB7, no reflection, initial all ones).
// Over a whole section, its own CRC included, the result is 0.
std::uint32_t Crc32Mpeg(std::span<const std::uint8_t> data);

struct PatInfo
{
    std::uint16_t programNumber = 0;
    std::uint16_t pmtPid = 0;
    std::uint8_t version = 0;
};

struct PmtInfo
{
    std::uint16_t programNumber = 0;
    std::uint8_t version = 0;
    std::uint16_t pcrPid = 0;
    std::uint16_t videoPid = 0;
    VideoCodec codec = VideoCodec::None;
};

// The first program of a PAT section (the network PID's entry, program 0, is skipped), or none
// when the section is not a current PAT with a program.
std::optional<PatInfo> ParsePat(std::span<const std::uint8_t> section);
// A current PMT section for `programNumber`; its video is the first elementary stream of a
// codec we know, and is absent (codec None) when there is none.
std::optional<PmtInfo> ParsePmt(std::span<const std::uint8_t> section, std::uint16_t programNumber);

// Gathers the sections of one PID from its packets: a section may start anywhere after the
// pointer field, run over several packets, and be followed by another in the same packet. Only
// sections whose CRC is right come out, each with the packets it was carried in (from the one
// it started in to the one it ended in), so that they can be replayed as they came.
class SectionAssembler
{
public:
    struct Section
    {
        std::span<const std::uint8_t> bytes;
        std::span<const TsPacket> packets;
    };

    // Returns the sections that `packet` completes. The spans stay valid until the next call.
    const std::vector<Section>& Push(const TsPacket& packet);
    // A packet of this PID was lost: a section under way is dropped.
    void Reset();

private:
    void StartSections(std::span<const std::uint8_t> from, const TsPacket& packet);
    bool Complete() const;
    void Emit();

    std::vector<std::uint8_t> m_section;
    std::vector<TsPacket> m_packets;
    std::vector<std::vector<std::uint8_t>> m_doneBytes;
    std::vector<std::vector<TsPacket>> m_donePackets;
    std::vector<Section> m_done;
    bool m_active = false;
};

} // namespace fastzap
