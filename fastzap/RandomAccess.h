#pragma once

#include "Psi.h"
#include "TsPacket.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

namespace fastzap {

// Finds each start code (00 00 01) in a byte stream fed in pieces, and hands over the byte after
// it with that byte's place in the current piece: a start code may be split across pieces, and so
// may the code and the byte after it (then the byte is the next piece's first, place 0).
class StartCodeScanner
{
public:
    template <class OnCode> void Push(std::span<const std::uint8_t> data, OnCode&& onCode);
    void Reset()
    {
        m_zeros = 0;
        m_codeDue = false;
    }

private:
    int m_zeros = 0;        // zero bytes (at most two counted) that ended the previous piece
    bool m_codeDue = false; // the previous piece ended with a whole start code
};

// What one video packet says about random access.
struct VideoPacketInfo
{
    bool pesStart = false;
    // The decode time (or presentation time when there is no decode time) of the PES this
    // packet starts, in 90 kHz units, when its header carries one.
    std::optional<std::uint64_t> timestamp;
    // The PES under way, begun in this packet or an earlier one, is one a decoder that starts
    // afresh can start from: it begins with such a picture (H.264 IDR, H.265 IRAP, an MPEG-2
    // sequence header, or whatever the random-access flag marks), and the decoder has the
    // parameter sets that picture needs.
    bool startPoint = false;
    // The parameter sets the start point's access unit lacks but the stream sent earlier, to be
    // put into the PES at `parameterSetsAt` (counted from its first payload byte); empty when the
    // access unit carries its own. Valid until the next Push.
    std::span<const std::uint8_t> parameterSets;
    std::size_t parameterSetsAt = 0;
};

// Follows the packets of the video PID and finds, for each PES, whether a decoder can start there.
//
// A stream that sets the adaptation field's random-access flag is taken at its word about which
// pictures are keyframes (the flag may come on a packet before the PES it marks); in a stream
// where it has never been seen, the first picture of each PES decides. Either way, an H.264 or
// H.265 start point also needs its parameter sets (SPS and PPS; VPS, SPS and PPS): in its own
// access unit or, when the encoder does not repeat them, the latest the stream sent, which are
// then put in front of the picture. Only what comes before each PES's first picture is looked
// at, so the cost is a few bytes a picture.
class VideoTracker
{
public:
    explicit VideoTracker(VideoCodec codec = VideoCodec::None) : m_codec(codec) {}
    VideoPacketInfo Push(const TsPacket& packet);
    // A packet was lost: the PES under way is not looked at further.
    void Lost();
    bool FlagsSeen() const { return m_flagsSeen; }
    // The latest sequence parameter set the stream sent, its start code first; empty before one.
    std::span<const std::uint8_t> LatestSps() const { return m_sets[Sps]; }

private:
    enum SetKind
    {
        Vps,
        Sps,
        Pps,
        kSetKinds
    };
    struct Nal
    {
        bool picture = false;      // a coded picture (slice), ending the access unit's prefix
        bool randomAccess = false; // one a decoder can start from
        bool delimiter = false;    // an access unit delimiter, which must stay first
        std::optional<SetKind> set;
    };

    // What the bytes before a picture hold.
    struct Prefix
    {
        std::array<std::vector<std::uint8_t>, kSetKinds> sets; // each kind's, start codes included
        bool randomAccess = false;                             // an MPEG-2 sequence header
        std::size_t firstNal = 0;
        std::size_t insertAt = 0; // where sets may go: after the delimiter, if it starts with one
    };

    Nal Classify(std::uint8_t header) const;
    void OnPayload(std::span<const std::uint8_t> data, VideoPacketInfo& info);
    void KeepPrefix(std::span<const std::uint8_t> data);
    void OnPicture(std::uint8_t header, VideoPacketInfo& info);
    Prefix ReadPrefix() const;
    void Learn(Prefix& found);

    VideoCodec m_codec;
    bool m_flagsSeen = false;
    bool m_flagDue = false; // the flag came on a packet that started no PES: the next one counts
    bool m_flagged = false; // the PES under way is marked by the flag

    // The PES header, gathered until its length is known and it has all come in.
    std::array<std::uint8_t, 9 + 255> m_header{};
    std::size_t m_headerHave = 0;
    bool m_inHeader = false;

    // The PES under way is looked at until its first picture: the bytes before it (its access
    // unit's delimiter, parameter sets and SEI) are kept in m_prefix.
    bool m_scanning = false;
    StartCodeScanner m_scanner;
    std::vector<std::uint8_t> m_prefix;

    // The latest parameter sets of each kind, as sent (start codes included), and the bytes put
    // in front of a picture that lacks them.
    std::array<std::vector<std::uint8_t>, kSetKinds> m_sets;
    std::vector<std::uint8_t> m_missing;
};

// The packets that replace `first`, the first packet of a PES whose header it holds whole, once
// `bytes` are put into its payload at `at`: the same header and adaptation field, then as many
// packets as the payload now needs, the last one filled up with adaptation-field stuffing. Their
// continuity counters lead into the packet that followed `first`. None when `at` lies past the
// payload.
std::vector<TsPacket> InsertIntoPayload(const TsPacket& first, std::size_t at,
                                        std::span<const std::uint8_t> bytes);

template <class OnCode>
void StartCodeScanner::Push(std::span<const std::uint8_t> data, OnCode&& onCode)
{
    const std::uint8_t* p = data.data();
    const std::size_t n = data.size();
    if (n == 0)
        return;
    if (m_codeDue) {
        m_codeDue = false;
        onCode(p[0], std::size_t(0));
    }
    auto codeAt = [&](std::size_t after) {
        if (after < n)
            onCode(p[after], after);
        else
            m_codeDue = true;
    };
    // The first two bytes may finish a start code that began in the previous piece.
    std::size_t i = 0;
    for (; i < n && i < 2; ++i) {
        if (p[i] == 1 && m_zeros >= 2)
            codeAt(i + 1);
        m_zeros = p[i] == 0 ? std::min(m_zeros + 1, 2) : 0;
    }
    // From the third byte on, the two bytes before a 01 are in this piece.
    while (i < n) {
        const void* one = std::memchr(p + i, 1, n - i);
        if (one == nullptr)
            break;
        const std::size_t at = std::size_t(static_cast<const std::uint8_t*>(one) - p);
        if (p[at - 1] == 0 && p[at - 2] == 0)
            codeAt(at + 1);
        i = at + 1;
    }
    if (n >= 2)
        m_zeros = p[n - 1] != 0 ? 0 : (p[n - 2] == 0 ? 2 : 1);
}

} // namespace fastzap
