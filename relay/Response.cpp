#include "Response.h"

#include "Http.h"

#include <algorithm>
#include <utility>

namespace relay {

ResponseShaper::ResponseShaper(UpstreamResponse upstream, const Limits& limits,
                               QByteArray routeBase, std::function<Route::BodyObserver()> observe)
    : m_upstream(std::move(upstream)), m_limits(limits), m_routeBase(std::move(routeBase)),
      m_observe(std::move(observe))
{}

void ResponseShaper::Feed(QByteArrayView data, QByteArray& out)
{
    if (m_mode == Mode::Undecided) {
        if (IsPlaylistContentType(m_upstream.contentType)) {
            decide(true, out);
        } else {
            m_prefix += data;
            const std::optional<bool> playlist = SniffPlaylist(m_prefix, false);
            if (!playlist)
                return;
            decide(*playlist, out);
            forward(std::exchange(m_prefix, {}), out);
            return;
        }
    }
    forward(data, out);
}

void ResponseShaper::Finish(QByteArray& out)
{
    settle(out);
    if (m_rewriter && !m_full)
        m_rewriter->Finish(out);
}

void ResponseShaper::Abort(QByteArray& out)
{
    settle(out);
}

// The body ended before it could tell whether it is a playlist: what there is decides.
void ResponseShaper::settle(QByteArray& out)
{
    if (m_mode != Mode::Undecided)
        return;
    decide(IsPlaylistContentType(m_upstream.contentType) ||
               SniffPlaylist(m_prefix, true).value_or(false),
           out);
    forward(std::exchange(m_prefix, {}), out);
}

void ResponseShaper::decide(bool playlist, QByteArray& out)
{
    ResponseHead head;
    head.status = m_upstream.status;
    head.contentType = m_upstream.contentType;
    head.contentRange = m_upstream.contentRange;
    if (playlist) {
        // libvlc asks for "bytes=0-" and takes a 206 from the start as the whole. A playlist
        // cannot be rewritten from the middle, where the offsets of the rewritten text differ.
        if (head.status == 206) {
            if (ContentRangeStart(head.contentRange) != 0) {
                m_mode = Mode::Refused;
                m_full = true;
                out += EmptyResponse(416);
                return;
            }
            head.status = 200;
            head.contentRange.clear();
        }
        m_mode = Mode::Playlist;
        m_rewriter.emplace(QUrl(QString::fromUtf8(m_upstream.effectiveUrl)), m_routeBase,
                           m_limits.maxPlaylistBytes);
    } else {
        m_mode = Mode::Pass;
        if (m_observe)
            m_observer = m_observe();
        if (m_upstream.contentLength >= 0 && m_upstream.contentLength <= m_limits.maxBodyBytes)
            head.contentLength = m_upstream.contentLength;
    }
    out += FormatResponseHead(head);
}

void ResponseShaper::forward(QByteArrayView data, QByteArray& out)
{
    if (m_full || data.isEmpty())
        return;
    if (m_mode == Mode::Playlist) {
        m_rewriter->Feed(data, out);
        m_full = m_rewriter->Full();
        return;
    }
    const qsizetype take = std::min(data.size(), m_limits.maxBodyBytes - m_written);
    if (m_observer)
        m_observer(data.first(take));
    out += data.first(take);
    m_written += take;
    m_full = m_written >= m_limits.maxBodyBytes;
}

} // namespace relay
