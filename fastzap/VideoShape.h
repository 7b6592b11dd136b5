#pragma once

#include "Psi.h"
#include "TsFramer.h"
#include "TsPacket.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace fastzap {

// The shape of a video stream's pictures as its own sequence header states it: the size a
// viewer is meant to see (coded size less the cropping) and the shape of its samples.
struct VideoShape
{
    std::uint32_t width = 0; // visible
    std::uint32_t height = 0;
    std::uint32_t codedWidth = 0; // whole macroblocks or coding blocks, before cropping
    std::uint32_t codedHeight = 0;
    std::uint32_t sarNum = 1; // sample aspect; 1:1 when the stream does not say
    std::uint32_t sarDen = 1;
    // H.264 whose pictures may be coded as fields (frame_mbs_only_flag 0), each field then an
    // access unit of its own.
    bool fields = false;

    bool operator==(const VideoShape&) const = default;
};

// The parsers take one unit as it follows its start code (00 00 01), emulation-prevention bytes
// still in, and tell nothing (rather than guess) for a unit they cannot read whole or that
// breaks the syntax's own bounds.

// H.264 sequence parameter set: the NAL unit from its header byte on (type 7).
std::optional<VideoShape> ParseH264Sps(std::span<const std::uint8_t> nal);
// H.265 sequence parameter set: the NAL unit from its two header bytes on (type 33).
std::optional<VideoShape> ParseH265Sps(std::span<const std::uint8_t> nal);
// MPEG-2 sequence header (the bytes after 00 00 01 B3) with its sequence extension and sequence
// display extension when the stream has them (the bytes after 00 00 01 B5; empty when absent).
std::optional<VideoShape> ParseMpeg2Sequence(std::span<const std::uint8_t> header,
                                             std::span<const std::uint8_t> extension,
                                             std::span<const std::uint8_t> displayExtension);

// Follows the video of a transport stream fed in pieces of any size and tells the shapes its
// sequence headers state, as they come: the first, and each that differs from the one before
// (a stream may change its resolution). PAT and PMT are read as the stream carries them; a
// stream whose video is of another codec tells nothing. One thread; no allocation per packet
// beyond what a sequence header needs.
class TsShapeWatch
{
public:
    // Appends to `shapes` what `bytes` completes.
    void Push(std::span<const std::uint8_t> bytes, std::vector<VideoShape>& shapes);
    std::optional<VideoShape> Latest() const { return m_latest; }

private:
    void OnPacket(const TsPacket& packet, std::vector<VideoShape>& shapes);
    void OnVideoBytes(std::span<const std::uint8_t> data, std::vector<VideoShape>& shapes);
    void OnStartCode(std::uint8_t code, std::vector<VideoShape>& shapes);
    void EndUnit(std::vector<VideoShape>& shapes);
    void FinishMpeg2(std::vector<VideoShape>& shapes);
    void Tell(const std::optional<VideoShape>& shape, std::vector<VideoShape>& shapes);

    enum class Unit : std::uint8_t
    {
        None,
        Sps,
        Mpeg2Header,
        Mpeg2Extension
    };

    TsFramer m_framer;
    std::vector<TsPacket> m_packets;
    SectionAssembler m_patSections;
    SectionAssembler m_pmtSections;
    std::optional<PatInfo> m_pat;
    std::optional<PmtInfo> m_pmt;

    int m_zeros = 0;                   // zero bytes just before, at most two counted
    bool m_codeDue = false;            // a start code ended the previous piece
    Unit m_unit = Unit::None;          // what the bytes being gathered are
    std::vector<std::uint8_t> m_bytes; // the unit under way, from its first byte after 00 00 01
    std::vector<std::uint8_t> m_mpeg2Header;
    std::vector<std::uint8_t> m_mpeg2Extension;
    std::vector<std::uint8_t> m_mpeg2Display;
    std::optional<VideoShape> m_latest;
};

} // namespace fastzap
