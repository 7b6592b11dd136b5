#include "Psi.h"

#include <array>

namespace fastzap {
namespace {

// PAT and PMT sections are at most 1024 bytes, header included.
constexpr std::size_t kMaxSection = 1024;

std::array<std::uint32_t, 256> MakeCrcTable()
{
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000U) != 0 ? (crc << 1) ^ 0x04C11DB7U : crc << 1;
        table[i] = crc;
    }
    return table;
}

std::size_t SectionLength(std::span<const std::uint8_t> section)
{
    return 3 + (std::size_t(section[1] & 0x0F) << 8 | section[2]);
}

// The checks every long-form section shares: syntax bit, length within bounds, a CRC that
// holds, and current (not next) content.
bool IsValidCurrentSection(std::span<const std::uint8_t> section, std::uint8_t tableId)
{
    if (section.size() < 12 || section[0] != tableId || (section[1] & 0x80) == 0)
        return false;
    if (SectionLength(section) != section.size())
        return false;
    if ((section[5] & 0x01) == 0)
        return false;
    return Crc32Mpeg(section) == 0;
}

} // namespace

VideoCodec CodecOfStreamType(std::uint8_t streamType)
{
    switch (streamType) {
    case 0x02:
        return VideoCodec::Mpeg2;
    case 0x1B:
        return VideoCodec::H264;
    case 0x24:
        return VideoCodec::H265;
    default:
        return VideoCodec::None;
    }
}

std::uint32_t Crc32Mpeg(std::span<const std::uint8_t> data)
{
    static const std::array<std::uint32_t, 256> table = MakeCrcTable();
    std::uint32_t crc = 0xFFFFFFFFU;
    for (const std::uint8_t byte : data)
        crc = (crc << 8) ^ table[((crc >> 24) ^ byte) & 0xFF];
    return crc;
}

std::optional<PatInfo> ParsePat(std::span<const std::uint8_t> section)
{
    if (!IsValidCurrentSection(section, 0x00))
        return std::nullopt;
    const std::uint8_t version = (section[5] >> 1) & 0x1F;
    const std::size_t end = section.size() - 4;
    for (std::size_t at = 8; at + 4 <= end; at += 4) {
        const auto program = std::uint16_t(section[at] << 8 | section[at + 1]);
        const auto pid = std::uint16_t((section[at + 2] & 0x1F) << 8 | section[at + 3]);
        if (program != 0)
            return PatInfo{program, pid, version};
    }
    return std::nullopt;
}

std::optional<PmtInfo> ParsePmt(std::span<const std::uint8_t> section, std::uint16_t programNumber)
{
    if (!IsValidCurrentSection(section, 0x02))
        return std::nullopt;
    PmtInfo info;
    info.programNumber = std::uint16_t(section[3] << 8 | section[4]);
    if (info.programNumber != programNumber)
        return std::nullopt;
    info.version = (section[5] >> 1) & 0x1F;
    info.pcrPid = std::uint16_t((section[8] & 0x1F) << 8 | section[9]);
    const std::size_t programInfo = std::size_t(section[10] & 0x0F) << 8 | section[11];
    const std::size_t end = section.size() - 4;
    std::size_t at = 12 + programInfo;
    while (at + 5 <= end) {
        const std::uint8_t type = section[at];
        const auto pid = std::uint16_t((section[at + 1] & 0x1F) << 8 | section[at + 2]);
        const std::size_t esInfo = std::size_t(section[at + 3] & 0x0F) << 8 | section[at + 4];
        const VideoCodec codec = CodecOfStreamType(type);
        if (codec != VideoCodec::None) {
            info.videoPid = pid;
            info.codec = codec;
            break;
        }
        at += 5 + esInfo;
    }
    return info;
}

void SectionAssembler::Reset()
{
    m_section.clear();
    m_packets.clear();
    m_active = false;
}

bool SectionAssembler::Complete() const
{
    return m_section.size() >= 3 && m_section.size() >= SectionLength(m_section);
}

void SectionAssembler::Emit()
{
    const std::size_t length = SectionLength(m_section);
    m_section.resize(length);
    m_doneBytes.push_back(m_section);
    m_donePackets.push_back(m_packets);
    m_section.clear();
    m_active = false;
}

void SectionAssembler::StartSections(std::span<const std::uint8_t> from, const TsPacket& packet)
{
    // Sections follow one another until stuffing (0xFF where a table_id would be) or the end of
    // the packet; the last may run on into later packets.
    while (!from.empty() && from[0] != 0xFF) {
        m_section.clear();
        m_packets.assign(1, packet);
        m_active = true;
        if (from.size() < 3) {
            m_section.assign(from.begin(), from.end());
            return;
        }
        const std::size_t length = SectionLength(from);
        if (length > kMaxSection) {
            Reset();
            return;
        }
        if (from.size() < length) {
            m_section.assign(from.begin(), from.end());
            return;
        }
        m_section.assign(from.begin(), from.begin() + std::ptrdiff_t(length));
        Emit();
        from = from.subspan(length);
    }
}

const std::vector<SectionAssembler::Section>& SectionAssembler::Push(const TsPacket& packet)
{
    m_done.clear();
    m_doneBytes.clear();
    m_donePackets.clear();
    std::span<const std::uint8_t> payload = packet.Payload();
    if (payload.empty() || packet.TransportError())
        return m_done;

    std::span<const std::uint8_t> starts;
    if (packet.PayloadUnitStart()) {
        const std::size_t pointer = payload[0];
        if (1 + pointer > payload.size()) {
            Reset();
            return m_done;
        }
        starts = payload.subspan(1 + pointer);
        payload = payload.subspan(1, pointer);
    }

    if (m_active) {
        // The tail of the section under way; a new section in this packet means it must end here.
        m_packets.push_back(packet);
        m_section.insert(m_section.end(), payload.begin(), payload.end());
        const bool tooLong = m_section.size() >= 3 && SectionLength(m_section) > kMaxSection;
        if (!tooLong && Complete())
            Emit();
        else if (tooLong || packet.PayloadUnitStart())
            Reset();
    }
    if (packet.PayloadUnitStart())
        StartSections(starts, packet);

    for (std::size_t i = 0; i < m_doneBytes.size(); ++i)
        m_done.push_back(Section{m_doneBytes[i], m_donePackets[i]});
    return m_done;
}

} // namespace fastzap
