#include "RandomAccess.h"

namespace fastzap {
namespace {

// What comes before a picture is its access unit's delimiter, parameter sets and SEI: a few
// hundred bytes, a few kilobytes with an encoder's settings written into an SEI. More than this
// is not a stream to start from.
constexpr std::size_t kMaxPrefix = std::size_t(16) << 10;

} // namespace

void VideoTracker::Lost()
{
    m_inHeader = false;
    m_scanning = false;
    m_flagDue = false; // the PES it marked may be the one lost
    m_scanner.Reset();
}

VideoPacketInfo VideoTracker::Push(const TsPacket& packet)
{
    VideoPacketInfo info;
    if (packet.TransportError()) {
        Lost();
        return info;
    }
    m_flagsSeen = m_flagsSeen || packet.RandomAccess();
    if (!packet.PayloadUnitStart()) {
        // A flag on a packet that starts no PES (one with only an adaptation field, say) marks
        // the next PES to start.
        m_flagDue = m_flagDue || packet.RandomAccess();
    } else {
        if (m_scanning) {
            // The PES that ended had no picture: parameter sets sent on their own, perhaps.
            Prefix previous = ReadPrefix();
            Learn(previous);
        }
        info.pesStart = true;
        m_flagged = packet.RandomAccess() || m_flagDue;
        m_flagDue = false;
        m_inHeader = true;
        m_headerHave = 0;
        m_scanning = m_codec != VideoCodec::None;
        m_prefix.clear();
        m_scanner.Reset();
        if (m_flagged && m_codec == VideoCodec::Mpeg2) {
            // The flag promises a sequence header, which is all an MPEG-2 decoder needs.
            info.startPoint = true;
            m_scanning = false;
        }
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
                // Not a PES: nothing in it to look at.
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
            info.timestamp = PesStamp(&m_header[14]);
        else if (timestamps >= 2 && length >= 5)
            info.timestamp = PesStamp(&m_header[9]);
    }
    if (!m_scanning)
        return;
    m_scanner.Push(data, [&](std::uint8_t header, std::size_t at) {
        if (!m_scanning || !Classify(header).picture)
            return;
        KeepPrefix(data.first(at));
        if (!m_scanning)
            return;
        // The prefix ends with the picture's start code and any zero bytes before it.
        m_prefix.resize(m_prefix.size() - std::min<std::size_t>(3, m_prefix.size()));
        while (!m_prefix.empty() && m_prefix.back() == 0)
            m_prefix.pop_back();
        m_scanning = false;
        OnPicture(header, info);
    });
    if (m_scanning)
        KeepPrefix(data);
}

void VideoTracker::KeepPrefix(std::span<const std::uint8_t> data)
{
    if (m_prefix.size() + data.size() > kMaxPrefix) {
        m_scanning = false;
        return;
    }
    m_prefix.insert(m_prefix.end(), data.begin(), data.end());
}

VideoTracker::Nal VideoTracker::Classify(std::uint8_t header) const
{
    Nal nal;
    switch (m_codec) {
    case VideoCodec::H264: {
        const int type = header & 0x1F;
        nal.picture = type >= 1 && type <= 5;
        nal.randomAccess = type == 5; // IDR
        nal.delimiter = type == 9;
        if (type == 7 || type == 8)
            nal.set = type == 7 ? Sps : Pps;
        break;
    }
    case VideoCodec::H265: {
        const int type = (header >> 1) & 0x3F;
        nal.picture = type < 32;
        // BLA, IDR and CRA. A CRA's leading pictures (RASL) refer to pictures before it, and a
        // decoder that starts at the CRA drops them, as it must.
        nal.randomAccess = type >= 16 && type <= 21;
        nal.delimiter = type == 35;
        if (type >= 32 && type <= 34)
            nal.set = SetKind(type - 32);
        break;
    }
    case VideoCodec::Mpeg2:
        nal.picture = header == 0x00;
        nal.randomAccess = header == 0xB3; // a sequence header: the picture after it can start
        break;
    case VideoCodec::None:
        break;
    }
    return nal;
}

VideoTracker::Prefix VideoTracker::ReadPrefix() const
{
    Prefix found;
    constexpr std::size_t kNone = ~std::size_t(0);
    std::size_t begin = kNone;
    auto finish = [&](std::size_t end) {
        while (end > begin && m_prefix[end - 1] == 0)
            --end;
        const Nal nal = Classify(m_prefix[begin]);
        if (begin == found.firstNal && nal.delimiter)
            found.insertAt = end;
        found.randomAccess = found.randomAccess || nal.randomAccess;
        if (nal.set) {
            static constexpr std::uint8_t kStartCode[] = {0, 0, 0, 1};
            auto& out = found.sets[*nal.set];
            out.insert(out.end(), std::begin(kStartCode), std::end(kStartCode));
            out.insert(out.end(), m_prefix.begin() + std::ptrdiff_t(begin),
                       m_prefix.begin() + std::ptrdiff_t(end));
        }
    };
    StartCodeScanner scanner;
    scanner.Push(m_prefix, [&](std::uint8_t, std::size_t at) {
        if (begin == kNone)
            found.firstNal = at;
        else
            finish(at - 3);
        begin = at;
    });
    if (begin != kNone)
        finish(m_prefix.size());
    return found;
}

void VideoTracker::Learn(Prefix& found)
{
    for (std::size_t kind = 0; kind < kSetKinds; ++kind) {
        if (!found.sets[kind].empty())
            m_sets[kind] = std::move(found.sets[kind]);
    }
}

void VideoTracker::OnPicture(std::uint8_t header, VideoPacketInfo& info)
{
    Prefix found = ReadPrefix();
    const bool startable =
        m_flagsSeen ? m_flagged : Classify(header).randomAccess || found.randomAccess;
    if (startable) {
        bool own = true;
        bool known = true;
        for (std::size_t kind = 0; kind < kSetKinds; ++kind) {
            const bool needed =
                m_codec == VideoCodec::H265 || (m_codec == VideoCodec::H264 && kind != Vps);
            own = own && (!needed || !found.sets[kind].empty());
            known = known && (!needed || !m_sets[kind].empty());
        }
        if (own) {
            info.startPoint = true;
        } else if (known) {
            // The sets as last sent, in the order a decoder reads them (a PPS names its SPS);
            // any the access unit carries itself follow them and so take over.
            m_missing.clear();
            for (std::size_t kind = 0; kind < kSetKinds; ++kind)
                m_missing.insert(m_missing.end(), m_sets[kind].begin(), m_sets[kind].end());
            info.startPoint = true;
            info.parameterSets = m_missing;
            info.parameterSetsAt = 9 + std::size_t(m_header[8]) + found.insertAt;
        }
    }
    Learn(found);
}

std::vector<TsPacket> InsertIntoPayload(const TsPacket& first, std::size_t at,
                                        std::span<const std::uint8_t> bytes)
{
    const auto payload = first.Payload();
    if (at > payload.size() || payload.size() < 6)
        return {};
    std::vector<std::uint8_t> data(payload.begin(), payload.begin() + std::ptrdiff_t(at));
    data.insert(data.end(), bytes.begin(), bytes.end());
    data.insert(data.end(), payload.begin() + std::ptrdiff_t(at), payload.end());
    // PES_packet_length grows with it; past 16 bits it becomes 0, unbounded, as video may be.
    const std::size_t length = std::size_t(data[4]) << 8 | data[5];
    if (length != 0) {
        const std::size_t grown = length + bytes.size() <= 0xFFFF ? length + bytes.size() : 0;
        data[4] = std::uint8_t(grown >> 8);
        data[5] = std::uint8_t(grown & 0xFF);
    }

    std::vector<TsPacket> out;
    std::size_t used = 0;
    for (std::size_t start = first.PayloadOffset(); used < data.size(); start = 4) {
        TsPacket& packet = out.emplace_back();
        packet.bytes.fill(0xFF);
        if (out.size() == 1) {
            std::copy_n(first.bytes.begin(), start, packet.bytes.begin());
        } else {
            packet.bytes[0] = kSyncByte;
            packet.bytes[1] = first.bytes[1] & 0x1F; // the same PID, starting nothing
            packet.bytes[2] = first.bytes[2];
            packet.bytes[3] = std::uint8_t((first.bytes[3] & 0xC0) | 0x10);
        }
        const std::size_t take = std::min(kPacketSize - start, data.size() - used);
        if (start + take < kPacketSize) {
            // Only the last packet comes out short (the first is as full as it was): stuffing
            // in an adaptation field of its own fills it.
            packet.bytes[3] |= 0x20;
            packet.bytes[4] = std::uint8_t(kPacketSize - 5 - take);
            if (packet.bytes[4] != 0)
                packet.bytes[5] = 0x00;
        }
        std::copy_n(data.begin() + std::ptrdiff_t(used), take,
                    packet.bytes.end() - std::ptrdiff_t(take));
        used += take;
    }
    const std::size_t counter = first.ContinuityCounter();
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i].SetContinuityCounter(std::uint8_t(counter + 16 - (out.size() - 1 - i) % 16));
    return out;
}

} // namespace fastzap
