#pragma once

#include "Address.h"
#include "Playlist.h"
#include "StreamRelay.h"

#include <QByteArray>
#include <functional>
#include <optional>

namespace relay {

// What libcurl reports of the final upstream response, redirects followed.
struct UpstreamResponse
{
    int status = 0;
    QByteArray contentType;
    QByteArray contentRange;
    qint64 contentLength = -1; // -1: not known
    QByteArray effectiveUrl;
};

// Turns one upstream response into the bytes libvlc receives. What the response is decides
// before a byte passes, from the kind of relay URL asked for and the body's first bytes, never
// from the upstream's headers alone:
//  - Playlist: always a rewritten playlist, whatever the body;
//  - Channel: a rewritten playlist when the body starts with "#EXTM3U" or the upstream calls it
//    one; MPEG-TS passed as bytes when it starts with three packets' sync bytes (and the route
//    has not been a playlist); anything else (a DASH or Smooth manifest, a compressed body, an
//    HDS manifest...) is refused with 502;
//  - Media: bytes, bounded.
// Toward libvlc go only the relay's own headers: its status (a 3xx is a 502; an error status
// comes without its body), its Content-Type (kPlaylistContentType, video/mp2t for a body that
// starts with a sync byte, application/octet-stream for the rest), a Content-Range it parsed,
// and a Content-Length when the body passes whole.
class ResponseShaper
{
public:
    // `channelWasPlaylist`: the route's own address was answered as a playlist before; libvlc
    // then reads it again as a playlist, so it is never passed as bytes.
    ResponseShaper(UpstreamResponse upstream, const Limits& limits, QByteArray routeBase, Kind kind,
                   bool headOnly = false, bool channelWasPlaylist = false);

    // `observe` makes the observer of a body passed as bytes (see Route::ObserveBodies); it is
    // asked for one at most once, when the response is decided.
    void ObserveBodies(std::function<Route::BodyObserver()> observe)
    {
        m_observe = std::move(observe);
    }

    // Upstream body bytes; what libvlc is to receive is appended to `out`.
    void Feed(QByteArrayView data, QByteArray& out);
    // The upstream body ended, completely.
    void Finish(QByteArray& out);
    // The upstream transfer failed part way: passes on what is whole, without a final line.
    void Abort(QByteArray& out);

    // Nothing more is wanted from upstream: a bound is reached or the response was refused.
    bool Full() const { return m_full; }
    // The response is a rewritten playlist.
    bool IsPlaylist() const { return m_mode == Mode::Playlist; }

private:
    enum class Mode
    {
        Undecided,
        Pass,
        Playlist,
        Refused
    };
    std::optional<Mode> choose(bool complete);
    void settle(bool complete, QByteArray& out);
    void refuse(int status, QByteArray& out);
    void forward(QByteArrayView data, QByteArray& out);

    UpstreamResponse m_upstream;
    Limits m_limits;
    QByteArray m_routeBase;
    Kind m_kind;
    bool m_headOnly;
    bool m_channelWasPlaylist;
    Mode m_mode = Mode::Undecided;
    QByteArray m_prefix;
    qsizetype m_taken = 0; // upstream body bytes read
    std::optional<PlaylistRewriter> m_rewriter;
    std::function<Route::BodyObserver()> m_observe;
    Route::BodyObserver m_observer;
    bool m_full = false;
};

// Whether a body starting with `prefix` is MPEG-TS: sync bytes at 0, 188 and 376 (of as many
// packets as a complete body has, at least one). Empty while it cannot tell yet.
std::optional<bool> SniffTransportStream(QByteArrayView prefix, bool complete);

} // namespace relay
