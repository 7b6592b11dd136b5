#include "RandomAccess.h"

namespace fastzap {
namespace {

std::uint64_t ReadTimestamp(const std::uint8_t* p)
{
    return (std::uint64_t(p[0] & 0x0E) << 29) | (std::uint64_t(p[1]) << 22) |
           (std::uint64_t(p[2] & 0xFE) << 14) | (std::uint64_t(p[3]) << 7) | (p[4] >> 1);
}

} // namespace

void VideoTracker::Lost()
{
    m_inHeader = false;
    m_scanning = false;
    m_scanner.Reset();
}

VideoPacketInfo VideoTracker::Push(const TsPacket& packet)
{
    VideoPacketInfo info;
    if (packet.TransportError()) {
        Lost();
        return info;
    }
    if (packet.RandomAccess()) {
        m_flagsSeen = true;
        if (packet.PayloadUnitStart())
            info.randomAccessHere = true;
        else
            m_flagDue = true;
    }
    if (packet.PayloadUnitStart()) {
        info.pesStart = true;
        if (m_flagDue)
            info.randomAccessHere = true;
        m_flagDue = false;
        m_inHeader = true;
        m_headerHave = 0;
        m_found = false;
        m_scanning = !m_flagsSeen && m_codec != VideoCodec::None;
        m_vps = m_sps = m_pps = false;
        m_scanner.Reset();
    }
    if (m_inHeader || m_scanning)
        OnPayload(packet.Payload(), info);
    return info;
}

void VideoTracker::OnPayload(std::span<const std::uint8_t> data, VideoPacketInfo& info)
{
    if (m_inHeader) {
        // The fixed part (start code prefix, stream id, length, two flag bytes and the header
        // length) is 9 bytes; the optional fields follow.
        const std::size_t fixed = 9;
        while (!data.empty()) {
            const std::size_t need = m_headerHave < fixed ? fixed : fixed + m_header[8];
            if (m_headerHave >= need)
                break;
            const std::size_t take = std::min(need - m_headerHave, data.size());
            std::copy_n(data.begin(), take, m_header.begin() + std::ptrdiff_t(m_headerHave));
            m_headerHave += take;
            data = data.subspan(take);
            if (m_headerHave >= 3 && (m_header[0] != 0 || m_header[1] != 0 || m_header[2] != 1)) {
                // Not a PES: nothing in it to scan.
                m_inHeader = false;
                m_scanning = false;
                return;
            }
        }
        if (m_headerHave < fixed || m_headerHave < fixed + m_header[8])
            return;
        m_inHeader = false;
        const int timestamps = m_header[7] >> 6;
        const std::size_t length = m_header[8];
        if (timestamps == 3 && length >= 10)
            info.timestamp = ReadTimestamp(&m_header[14]);
        else if (timestamps >= 2 && length >= 5)
            info.timestamp = ReadTimestamp(&m_header[9]);
    }
    if (m_scanning && !m_found)
        m_scanner.Push(data, [&](std::uint8_t code) { OnCode(code, info); });
}

void VideoTracker::OnCode(std::uint8_t code, VideoPacketInfo& info)
{
    if (m_found)
        return;
    bool start = false;
    switch (m_codec) {
    case VideoCodec::H264: {
        const int type = code & 0x1F;
        m_sps = m_sps || type == 7;
        m_pps = m_pps || type == 8;
        start = type == 5 && m_sps && m_pps;
        break;
    }
    case VideoCodec::H265: {
        const int type = (code >> 1) & 0x3F;
        m_vps = m_vps || type == 32;
        m_sps = m_sps || type == 33;
        m_pps = m_pps || type == 34;
        start = type >= 16 && type <= 21 && m_vps && m_sps && m_pps;
        break;
    }
    case VideoCodec::Mpeg2:
        start = code == 0xB3;
        break;
    case VideoCodec::None:
        break;
    }
    if (start) {
        m_found = true;
        m_scanning = false;
        info.randomAccessAtPesStart = true;
    }
}

} // namespace fastzap
