#include "VideoShape.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <numeric>
#include <utility>

namespace fastzap {
namespace {

// A sequence header is a few dozen bytes; scaling lists can make an SPS a few hundred. Anything
// longer is not one.
constexpr std::size_t kMaxUnitBytes = 4096;
// Largest picture side any of the three codecs can state.
constexpr std::uint32_t kMaxSide = 16888;

// Exp-Golomb and fixed-width reads over a unit with its emulation-prevention bytes removed. A read
// past the end sets a flag and returns 0; the parsers check the flag once they are done.
class BitReader
{
public:
    explicit BitReader(std::span<const std::uint8_t> escaped)
    {
        m_bytes.reserve(escaped.size());
        int zeros = 0;
        for (const std::uint8_t byte : escaped) {
            if (zeros >= 2 && byte == 3) {
                zeros = 0;
                continue;
            }
            zeros = byte == 0 ? zeros + 1 : 0;
            m_bytes.push_back(byte);
        }
    }

    std::uint32_t Bits(int count)
    {
        std::uint32_t value = 0;
        for (int i = 0; i < count; ++i)
            value = (value << 1) | Bit();
        return value;
    }
    std::uint32_t Bit()
    {
        if (m_position >= m_bytes.size() * 8) {
            m_overrun = true;
            return 0;
        }
        const std::uint32_t bit = (m_bytes[m_position / 8] >> (7 - m_position % 8)) & 1U;
        ++m_position;
        return bit;
    }
    void Skip(std::size_t count)
    {
        m_position += count;
        if (m_position > m_bytes.size() * 8)
            m_overrun = true;
    }
    // ue(v); values beyond 32 bits are no stream's and end the read.
    std::uint32_t Ue()
    {
        int zeros = 0;
        while (Bit() == 0) {
            if (m_overrun || ++zeros > 31) {
                m_overrun = true;
                return 0;
            }
        }
        return zeros == 0 ? 0 : (std::uint32_t(1) << zeros) - 1 + Bits(zeros);
    }
    std::int32_t Se()
    {
        const std::uint32_t code = Ue();
        return (code & 1) != 0 ? std::int32_t((code + 1) / 2) : -std::int32_t(code / 2);
    }
    bool Overrun() const { return m_overrun; }

private:
    std::vector<std::uint8_t> m_bytes;
    std::size_t m_position = 0;
    bool m_overrun = false;
};

// The sample aspects aspect_ratio_idc 1 to 16 stand for (H.264 Table E-1, H.265 the same).
constexpr std::array<std::array<std::uint16_t, 2>, 17> kSarTable = {{{0, 0},
                                                                     {1, 1},
                                                                     {12, 11},
                                                                     {10, 11},
                                                                     {16, 11},
                                                                     {40, 33},
                                                                     {24, 11},
                                                                     {20, 11},
                                                                     {32, 11},
                                                                     {80, 33},
                                                                     {18, 11},
                                                                     {15, 11},
                                                                     {64, 33},
                                                                     {160, 99},
                                                                     {4, 3},
                                                                     {3, 2},
                                                                     {2, 1}}};
constexpr std::uint32_t kExtendedSar = 255;

// aspect_ratio_info of the VUI, when present; an unknown or zero aspect leaves square samples.
void ReadVuiAspect(BitReader& bits, VideoShape& shape)
{
    if (bits.Bit() == 0)
        return;
    const std::uint32_t idc = bits.Bits(8);
    std::uint32_t num = 0;
    std::uint32_t den = 0;
    if (idc == kExtendedSar) {
        num = bits.Bits(16);
        den = bits.Bits(16);
    } else if (idc < kSarTable.size()) {
        num = kSarTable[idc][0];
        den = kSarTable[idc][1];
    }
    if (num > 0 && den > 0) {
        shape.sarNum = num;
        shape.sarDen = den;
    }
}

bool Plausible(const VideoShape& shape)
{
    return shape.width > 0 && shape.height > 0 && shape.width <= shape.codedWidth &&
           shape.height <= shape.codedHeight && shape.codedWidth <= kMaxSide &&
           shape.codedHeight <= kMaxSide;
}

// 4:2:0 halves chroma both ways, 4:2:2 across only, 4:4:4 (and monochrome) not at all.
constexpr std::uint32_t SubWidth(std::uint32_t chromaFormat)
{
    return chromaFormat == 1 || chromaFormat == 2 ? 2 : 1;
}
constexpr std::uint32_t SubHeight(std::uint32_t chromaFormat)
{
    return chromaFormat == 1 ? 2 : 1;
}

// False for a delta_scale outside -128 to 127: no encoder writes one, and the sum would overflow.
bool SkipH264ScalingList(BitReader& bits, int size)
{
    std::int32_t last = 8;
    std::int32_t next = 8;
    for (int j = 0; j < size && !bits.Overrun(); ++j) {
        if (next != 0) {
            const std::int32_t delta = bits.Se();
            if (delta < -128 || delta > 127)
                return false;
            next = (last + delta + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
    return true;
}

} // namespace

std::optional<VideoShape> ParseH264Sps(std::span<const std::uint8_t> nal)
{
    if (nal.empty() || (nal[0] & 0x1F) != 7)
        return std::nullopt;
    BitReader bits(nal.subspan(1));
    const std::uint32_t profile = bits.Bits(8);
    bits.Skip(16); // constraint flags, level
    bits.Ue();     // seq_parameter_set_id
    std::uint32_t chromaFormat = 1;
    bool separatePlanes = false;
    constexpr std::array kHighProfiles = {100U, 110U, 122U, 244U, 44U,  83U, 86U,
                                          118U, 128U, 138U, 139U, 134U, 135U};
    if (std::find(kHighProfiles.begin(), kHighProfiles.end(), profile) != kHighProfiles.end()) {
        chromaFormat = bits.Ue();
        if (chromaFormat > 3)
            return std::nullopt;
        if (chromaFormat == 3)
            separatePlanes = bits.Bit() != 0;
        bits.Ue(); // bit depths
        bits.Ue();
        bits.Bit(); // qpprime_y_zero_transform_bypass
        if (bits.Bit() != 0) {
            for (int i = 0; i < (chromaFormat == 3 ? 12 : 8); ++i)
                if (bits.Bit() != 0 && !SkipH264ScalingList(bits, i < 6 ? 16 : 64))
                    return std::nullopt;
        }
    }
    bits.Ue(); // log2_max_frame_num_minus4
    const std::uint32_t pocType = bits.Ue();
    if (pocType == 0) {
        bits.Ue();
    } else if (pocType == 1) {
        bits.Bit();
        bits.Se();
        bits.Se();
        const std::uint32_t cycle = bits.Ue();
        if (cycle > 255)
            return std::nullopt;
        for (std::uint32_t i = 0; i < cycle; ++i)
            bits.Se();
    } else if (pocType > 2) {
        return std::nullopt;
    }
    bits.Ue(); // max_num_ref_frames
    bits.Bit();
    const std::uint32_t widthMbs = bits.Ue() + 1;
    const std::uint32_t heightMapUnits = bits.Ue() + 1;
    const bool frameMbsOnly = bits.Bit() != 0;
    if (!frameMbsOnly)
        bits.Bit(); // mb_adaptive_frame_field
    bits.Bit();     // direct_8x8_inference
    VideoShape shape;
    if (widthMbs > kMaxSide / 16 || heightMapUnits > kMaxSide / 16)
        return std::nullopt;
    shape.fields = !frameMbsOnly;
    shape.codedWidth = widthMbs * 16;
    shape.codedHeight = heightMapUnits * 16 * (frameMbsOnly ? 1 : 2);
    std::uint32_t cropX = 0;
    std::uint32_t cropY = 0;
    if (bits.Bit() != 0) {
        const std::uint32_t arrayType = separatePlanes ? 0 : chromaFormat;
        const std::uint32_t unitX = arrayType == 0 ? 1 : SubWidth(arrayType);
        const std::uint32_t unitY =
            (arrayType == 0 ? 1 : SubHeight(arrayType)) * (frameMbsOnly ? 1 : 2);
        const std::uint64_t left = bits.Ue();
        const std::uint64_t right = bits.Ue();
        const std::uint64_t top = bits.Ue();
        const std::uint64_t bottom = bits.Ue();
        if ((left + right) * unitX >= shape.codedWidth ||
            (top + bottom) * unitY >= shape.codedHeight)
            return std::nullopt;
        cropX = std::uint32_t((left + right) * unitX);
        cropY = std::uint32_t((top + bottom) * unitY);
    }
    shape.width = shape.codedWidth - cropX;
    shape.height = shape.codedHeight - cropY;
    if (bits.Bit() != 0) // vui_parameters_present
        ReadVuiAspect(bits, shape);
    if (bits.Overrun() || !Plausible(shape))
        return std::nullopt;
    return shape;
}

std::optional<VideoShape> ParseH265Sps(std::span<const std::uint8_t> nal)
{
    if (nal.size() < 2 || ((nal[0] >> 1) & 0x3F) != 33)
        return std::nullopt;
    BitReader bits(nal.subspan(2));
    bits.Skip(4); // sps_video_parameter_set_id
    const std::uint32_t maxSubLayersMinus1 = bits.Bits(3);
    if (maxSubLayersMinus1 > 6)
        return std::nullopt;
    bits.Bit(); // temporal_id_nesting
    // profile_tier_level: the general profile (88 bits) and level (8), then each sub-layer's.
    bits.Skip(96);
    std::array<bool, 8> profilePresent{};
    std::array<bool, 8> levelPresent{};
    for (std::uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
        profilePresent[i] = bits.Bit() != 0;
        levelPresent[i] = bits.Bit() != 0;
    }
    if (maxSubLayersMinus1 > 0)
        bits.Skip(std::size_t(2) * (8 - maxSubLayersMinus1));
    for (std::uint32_t i = 0; i < maxSubLayersMinus1; ++i)
        bits.Skip((profilePresent[i] ? 88 : 0) + (levelPresent[i] ? 8 : 0));
    bits.Ue(); // sps_seq_parameter_set_id
    const std::uint32_t chromaFormat = bits.Ue();
    if (chromaFormat > 3)
        return std::nullopt;
    bool separatePlanes = false;
    if (chromaFormat == 3)
        separatePlanes = bits.Bit() != 0;
    VideoShape shape;
    shape.codedWidth = bits.Ue();
    shape.codedHeight = bits.Ue();
    if (shape.codedWidth > kMaxSide || shape.codedHeight > kMaxSide)
        return std::nullopt;
    std::uint64_t cropX = 0;
    std::uint64_t cropY = 0;
    if (bits.Bit() != 0) { // conformance_window_flag
        const std::uint32_t arrayType = separatePlanes ? 0 : chromaFormat;
        const std::uint64_t left = bits.Ue();
        const std::uint64_t right = bits.Ue();
        const std::uint64_t top = bits.Ue();
        const std::uint64_t bottom = bits.Ue();
        cropX = (left + right) * SubWidth(arrayType);
        cropY = (top + bottom) * SubHeight(arrayType);
        if (cropX >= shape.codedWidth || cropY >= shape.codedHeight)
            return std::nullopt;
    }
    shape.width = shape.codedWidth - std::uint32_t(cropX);
    shape.height = shape.codedHeight - std::uint32_t(cropY);
    bits.Ue(); // bit depths
    bits.Ue();
    const std::uint32_t pocLsbBits = bits.Ue() + 4;
    if (pocLsbBits > 16)
        return std::nullopt;
    const bool orderingForEach = bits.Bit() != 0;
    for (std::uint32_t i = orderingForEach ? 0 : maxSubLayersMinus1; i <= maxSubLayersMinus1; ++i) {
        bits.Ue();
        bits.Ue();
        bits.Ue();
    }
    for (int i = 0; i < 6; ++i) // coding and transform block sizes, hierarchy depths
        bits.Ue();
    if (bits.Bit() != 0 && bits.Bit() != 0) { // scaling lists, given in the SPS
        for (int size = 0; size < 4; ++size) {
            for (int matrix = 0; matrix < 6; matrix += size == 3 ? 3 : 1) {
                if (bits.Bit() == 0) {
                    bits.Ue(); // scaling_list_pred_matrix_id_delta
                    continue;
                }
                const int coefficients = std::min(64, 1 << (4 + (size << 1)));
                if (size > 1)
                    bits.Se();
                for (int i = 0; i < coefficients && !bits.Overrun(); ++i)
                    bits.Se();
            }
        }
    }
    bits.Bit();            // amp
    bits.Bit();            // sample_adaptive_offset
    if (bits.Bit() != 0) { // pcm
        bits.Skip(8);
        bits.Ue();
        bits.Ue();
        bits.Bit();
    }
    const std::uint32_t sets = bits.Ue();
    if (sets > 64)
        return std::nullopt;
    // Each short-term reference picture set; one predicted from another needs that one's count.
    std::array<std::uint32_t, 65> deltaPocs{};
    for (std::uint32_t set = 0; set < sets && !bits.Overrun(); ++set) {
        if (set != 0 && bits.Bit() != 0) {
            bits.Bit(); // delta_rps_sign
            bits.Ue();  // abs_delta_rps_minus1
            const std::uint32_t reference = set - 1;
            std::uint32_t count = 0;
            for (std::uint32_t j = 0; j <= deltaPocs[reference]; ++j) {
                const bool used = bits.Bit() != 0;
                if (used || bits.Bit() != 0)
                    ++count;
            }
            deltaPocs[set] = count;
        } else {
            const std::uint32_t negative = bits.Ue();
            const std::uint32_t positive = bits.Ue();
            if (negative > 16 || positive > 16)
                return std::nullopt;
            for (std::uint32_t i = 0; i < negative + positive; ++i) {
                bits.Ue();
                bits.Bit();
            }
            deltaPocs[set] = negative + positive;
        }
    }
    if (bits.Bit() != 0) { // long_term_ref_pics_present
        const std::uint32_t longTerm = bits.Ue();
        if (longTerm > 32)
            return std::nullopt;
        for (std::uint32_t i = 0; i < longTerm; ++i)
            bits.Skip(pocLsbBits + 1);
    }
    bits.Bit(); // temporal_mvp
    bits.Bit(); // strong_intra_smoothing
    if (bits.Bit() != 0)
        ReadVuiAspect(bits, shape);
    if (bits.Overrun() || !Plausible(shape))
        return std::nullopt;
    return shape;
}

std::optional<VideoShape> ParseMpeg2Sequence(std::span<const std::uint8_t> header,
                                             std::span<const std::uint8_t> extension,
                                             std::span<const std::uint8_t> displayExtension)
{
    if (header.size() < 4)
        return std::nullopt;
    VideoShape shape;
    shape.width = std::uint32_t(header[0]) << 4 | header[1] >> 4;
    shape.height = std::uint32_t(header[1] & 0x0F) << 8 | header[2];
    const std::uint32_t aspect = header[3] >> 4;
    // sequence_extension: extension id 1, then the two high bits of each size.
    if (extension.size() >= 3 && extension[0] >> 4 == 1) {
        shape.width |= std::uint32_t((extension[1] & 0x01) << 1 | extension[2] >> 7) << 12;
        shape.height |= std::uint32_t(extension[2] >> 5 & 0x03) << 12;
    }
    if (shape.width == 0 || shape.height == 0)
        return std::nullopt;
    shape.codedWidth = (shape.width + 15) / 16 * 16;
    shape.codedHeight = (shape.height + 15) / 16 * 16;
    // aspect_ratio_information is the display aspect (1: square samples). Streams often give a
    // display size that contradicts it; like libavcodec, the display extension is believed only
    // when the aspect over it comes out as 4:3 or 16:9, and the picture's size is taken otherwise.
    constexpr std::array<std::array<std::uint32_t, 2>, 5> kDar = {
        {{0, 0}, {1, 1}, {4, 3}, {16, 9}, {221, 100}}};
    if (aspect >= 2 && aspect < kDar.size()) {
        std::uint64_t areaW = shape.width;
        std::uint64_t areaH = shape.height;
        if (displayExtension.size() >= 5 && displayExtension[0] >> 4 == 2) {
            const bool colour = (displayExtension[0] & 0x01) != 0;
            const std::size_t at = colour ? 4 : 1;
            if (displayExtension.size() >= at + 4) {
                const std::uint64_t dw =
                    std::uint64_t(displayExtension[at]) << 6 | displayExtension[at + 1] >> 2;
                const std::uint64_t dh = std::uint64_t(displayExtension[at + 1] & 0x01) << 13 |
                                         std::uint64_t(displayExtension[at + 2]) << 5 |
                                         displayExtension[at + 3] >> 3;
                // The aspect over the display area, scaled back to the picture: 4:3 or 16:9?
                const std::uint64_t num = std::uint64_t(kDar[aspect][0]) * dh * shape.width;
                const std::uint64_t den = std::uint64_t(kDar[aspect][1]) * dw * shape.height;
                if (dw > 0 && dh > 0 && (num * 3 == den * 4 || num * 9 == den * 16)) {
                    areaW = dw;
                    areaH = dh;
                }
            }
        }
        // sample aspect = display aspect over the area's own shape
        std::uint64_t num = std::uint64_t(kDar[aspect][0]) * areaH;
        std::uint64_t den = std::uint64_t(kDar[aspect][1]) * areaW;
        const std::uint64_t divisor = std::gcd(num, den);
        if (divisor > 0 && num / divisor <= UINT32_MAX && den / divisor <= UINT32_MAX) {
            shape.sarNum = std::uint32_t(num / divisor);
            shape.sarDen = std::uint32_t(den / divisor);
        }
    }
    return shape;
}

// --- the transport stream
// -------------------------------------------------------------------------

void TsShapeWatch::Push(std::span<const std::uint8_t> bytes, std::vector<VideoShape>& shapes)
{
    m_packets.clear();
    m_framer.Push(bytes, m_packets);
    for (const TsPacket& packet : m_packets)
        OnPacket(packet, shapes);
}

void TsShapeWatch::OnPacket(const TsPacket& packet, std::vector<VideoShape>& shapes)
{
    if (packet.TransportError())
        return;
    const std::uint16_t pid = packet.Pid();
    if (pid == kPatPid) {
        for (const auto& section : m_patSections.Push(packet)) {
            const auto pat = ParsePat(section.bytes);
            if (pat && (!m_pat || m_pat->pmtPid != pat->pmtPid)) {
                m_pmt.reset();
                m_pmtSections.Reset();
            }
            if (pat)
                m_pat = pat;
        }
        return;
    }
    if (m_pat && pid == m_pat->pmtPid) {
        for (const auto& section : m_pmtSections.Push(packet)) {
            const auto pmt = ParsePmt(section.bytes, m_pat->programNumber);
            if (!pmt)
                continue;
            if (!m_pmt || m_pmt->videoPid != pmt->videoPid || m_pmt->codec != pmt->codec) {
                m_unit = Unit::None;
                m_mpeg2Header.clear();
                m_zeros = 0;
                m_codeDue = false;
            }
            m_pmt = pmt;
        }
        return;
    }
    if (m_pmt && m_pmt->codec != VideoCodec::None && pid == m_pmt->videoPid)
        OnVideoBytes(packet.Payload(), shapes);
}

void TsShapeWatch::OnVideoBytes(std::span<const std::uint8_t> data, std::vector<VideoShape>& shapes)
{
    const std::uint8_t* p = data.data();
    const std::size_t n = data.size();
    std::size_t i = 0;
    while (i < n) {
        if (m_codeDue) {
            m_codeDue = false;
            OnStartCode(p[i], shapes);
            m_zeros = p[i] == 0 ? 1 : 0;
            ++i;
            continue;
        }
        if (m_unit == Unit::None) {
            // Nothing gathered: jump to the next 01 and see whether two zeros come before it.
            const void* one = std::memchr(p + i, 1, n - i);
            const std::size_t at =
                one == nullptr ? n : std::size_t(static_cast<const std::uint8_t*>(one) - p);
            if (at >= i + 2)
                m_zeros = p[at - 1] != 0 ? 0 : (p[at - 2] == 0 ? 2 : 1);
            else if (at == i + 1)
                m_zeros = p[i] != 0 ? 0 : std::min(m_zeros + 1, 2);
            if (at == n) {
                i = n;
                break;
            }
            m_codeDue = m_zeros >= 2;
            m_zeros = 0;
            i = at + 1;
            continue;
        }
        const std::uint8_t byte = p[i++];
        m_bytes.push_back(byte);
        if (byte == 1 && m_zeros >= 2) {
            m_bytes.resize(m_bytes.size() - 3);
            EndUnit(shapes);
            m_codeDue = true;
            m_zeros = 0;
            continue;
        }
        m_zeros = byte == 0 ? std::min(m_zeros + 1, 2) : 0;
        if (m_bytes.size() > kMaxUnitBytes)
            m_unit = Unit::None; // not a sequence header after all
    }
    // A start code that ended this piece has its unit type in the next.
}

void TsShapeWatch::OnStartCode(std::uint8_t code, std::vector<VideoShape>& shapes)
{
    m_bytes.clear();
    switch (m_pmt->codec) {
    case VideoCodec::H264:
        m_unit = (code & 0x1F) == 7 ? Unit::Sps : Unit::None;
        break;
    case VideoCodec::H265:
        m_unit = ((code >> 1) & 0x3F) == 33 ? Unit::Sps : Unit::None;
        break;
    case VideoCodec::Mpeg2:
        if (code == 0xB5 && !m_mpeg2Header.empty()) {
            m_unit = Unit::Mpeg2Extension;
        } else {
            // Anything else after a sequence header ends its extensions.
            FinishMpeg2(shapes);
            m_unit = code == 0xB3 ? Unit::Mpeg2Header : Unit::None;
        }
        break;
    case VideoCodec::None:
        m_unit = Unit::None;
        break;
    }
    if (m_unit != Unit::None)
        m_bytes.push_back(code);
}

void TsShapeWatch::EndUnit(std::vector<VideoShape>& shapes)
{
    const Unit unit = std::exchange(m_unit, Unit::None);
    switch (unit) {
    case Unit::Sps:
        Tell(m_pmt->codec == VideoCodec::H264 ? ParseH264Sps(m_bytes) : ParseH265Sps(m_bytes),
             shapes);
        break;
    case Unit::Mpeg2Header:
        m_mpeg2Header.assign(m_bytes.begin() + 1, m_bytes.end());
        m_mpeg2Extension.clear();
        m_mpeg2Display.clear();
        break;
    case Unit::Mpeg2Extension:
        if (m_bytes.size() > 1 && m_bytes[1] >> 4 == 1)
            m_mpeg2Extension.assign(m_bytes.begin() + 1, m_bytes.end());
        else if (m_bytes.size() > 1 && m_bytes[1] >> 4 == 2)
            m_mpeg2Display.assign(m_bytes.begin() + 1, m_bytes.end());
        break;
    case Unit::None:
        break;
    }
}

void TsShapeWatch::FinishMpeg2(std::vector<VideoShape>& shapes)
{
    if (m_mpeg2Header.empty())
        return;
    Tell(ParseMpeg2Sequence(m_mpeg2Header, m_mpeg2Extension, m_mpeg2Display), shapes);
    m_mpeg2Header.clear();
}

void TsShapeWatch::Tell(const std::optional<VideoShape>& shape, std::vector<VideoShape>& shapes)
{
    if (!shape || shape == m_latest)
        return;
    m_latest = shape;
    shapes.push_back(*shape);
}

} // namespace fastzap
