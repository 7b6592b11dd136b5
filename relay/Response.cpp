#include "Response.h"

#include "Http.h"

#include <algorithm>
#include <utility>

namespace relay {
namespace {

constexpr char kSyncByte = 0x47;
constexpr qsizetype kPacketBytes = 188;
constexpr int kSniffedPackets = 3;

} // namespace

std::optional<bool> SniffTransportStream(QByteArrayView prefix, bool complete)
{
    for (int packet = 0; packet < kSniffedPackets; ++packet) {
        const qsizetype at = packet * kPacketBytes;
        if (at >= prefix.size())
            return complete ? std::optional<bool>(prefix.size() >= kPacketBytes) : std::nullopt;
        if (prefix[at] != kSyncByte)
            return false;
    }
    return true;
}

ResponseShaper::ResponseShaper(UpstreamResponse upstream, const Limits& limits,
                               QByteArray routeBase, Kind kind, bool headOnly,
                               bool channelWasPlaylist)
    : m_upstream(std::move(upstream)), m_limits(limits), m_routeBase(std::move(routeBase)),
      m_kind(kind), m_headOnly(headOnly), m_channelWasPlaylist(channelWasPlaylist)
{}

void ResponseShaper::Feed(QByteArrayView data, QByteArray& out)
{
    if (m_mode == Mode::Undecided) {
        m_prefix += data;
        settle(false, out);
        return;
    }
    forward(data, out);
}

void ResponseShaper::Finish(QByteArray& out)
{
    settle(true, out);
    if (m_rewriter && !m_full)
        m_rewriter->Finish(out);
}

void ResponseShaper::Abort(QByteArray& out)
{
    settle(true, out);
}

std::optional<ResponseShaper::Mode> ResponseShaper::choose(bool complete)
{
    if (m_headOnly)
        return m_kind == Kind::Playlist ? Mode::Playlist : Mode::Pass;
    switch (m_kind) {
    case Kind::Playlist:
        return Mode::Playlist;
    case Kind::Media:
        // The first byte tells the type.
        if (m_prefix.isEmpty() && !complete)
            return std::nullopt;
        return Mode::Pass;
    case Kind::Channel:
        break;
    }
    if (IsPlaylistContentType(m_upstream.contentType))
        return Mode::Playlist;
    const std::optional<bool> playlist = SniffPlaylist(m_prefix, complete);
    if (!playlist)
        return std::nullopt;
    if (*playlist)
        return Mode::Playlist;
    const std::optional<bool> stream = SniffTransportStream(m_prefix, complete);
    if (!stream)
        return std::nullopt;
    return *stream && !m_channelWasPlaylist ? Mode::Pass : Mode::Refused;
}

void ResponseShaper::settle(bool complete, QByteArray& out)
{
    if (m_mode != Mode::Undecided)
        return;
    const int status = m_upstream.status;
    // Redirects were followed by the relay: one left over has no Location worth following.
    if (status < 200 || status >= 300) {
        refuse(status >= 400 && status <= 599 ? status : 502, out);
        return;
    }
    const std::optional<Mode> mode = choose(complete);
    if (!mode)
        return;
    if (*mode == Mode::Refused) {
        refuse(502, out);
        return;
    }

    ResponseHead head;
    head.status = status;
    if (*mode == Mode::Playlist) {
        // libvlc asks for "bytes=0-" and takes a 206 from the start as the whole. A playlist
        // cannot be rewritten from the middle, where the offsets of the rewritten text differ.
        if (status == 206) {
            if (ContentRangeStart(m_upstream.contentRange) != 0) {
                refuse(416, out);
                return;
            }
            head.status = 200;
        }
        head.contentType = kPlaylistContentType;
        m_rewriter.emplace(m_upstream.effectiveUrl, m_routeBase, m_limits.maxPlaylistBytes);
    } else {
        if (status == 206) {
            const std::optional<QByteArray> range = CanonicalContentRange(m_upstream.contentRange);
            if (!range) {
                refuse(502, out);
                return;
            }
            head.contentRange = *range;
        }
        head.contentType = !m_prefix.isEmpty() && m_prefix[0] == kSyncByte
                               ? QByteArray("video/mp2t")
                               : QByteArray("application/octet-stream");
        if (m_upstream.contentLength >= 0 && m_upstream.contentLength <= m_limits.maxBodyBytes)
            head.contentLength = m_upstream.contentLength;
        if (m_observe && !m_headOnly)
            m_observer = m_observe();
    }
    m_mode = *mode;
    out += FormatResponseHead(head);
    forward(std::exchange(m_prefix, {}), out);
}

void ResponseShaper::refuse(int status, QByteArray& out)
{
    m_mode = Mode::Refused;
    m_full = true;
    m_prefix.clear();
    out += EmptyResponse(status);
}

void ResponseShaper::forward(QByteArrayView data, QByteArray& out)
{
    if (m_full || data.isEmpty() || m_headOnly)
        return;
    // Every body is read up to the body bound: a playlist's too, whose titles, unknown tags and
    // blank lines write nothing and would otherwise never reach its own bound.
    const qsizetype take = std::min(data.size(), m_limits.maxBodyBytes - m_taken);
    m_taken += take;
    if (m_mode == Mode::Playlist) {
        m_rewriter->Feed(data.first(take), out);
        m_full = m_rewriter->Full() || m_taken >= m_limits.maxBodyBytes;
        return;
    }
    if (m_observer)
        m_observer(data.first(take));
    out += data.first(take);
    m_full = m_taken >= m_limits.maxBodyBytes;
}

} // namespace relay
