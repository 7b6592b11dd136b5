#pragma once

#include "Playlist.h"
#include "StreamRelay.h"

#include <QByteArray>
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

// Turns one upstream response into the bytes libvlc receives: the response head, then the body,
// bounded, and rewritten when it is a playlist. Whether it is one is known from the
// Content-Type, or else from the body's first bytes, so the head waits for them.
class ResponseShaper
{
public:
    // `observe` makes the observer of a body that turns out not to be a playlist (see
    // Route::ObserveBodies); it is asked for one at most once.
    ResponseShaper(UpstreamResponse upstream, const Limits& limits, QByteArray routeBase,
                   std::function<Route::BodyObserver()> observe = {});

    // Upstream body bytes; what libvlc is to receive is appended to `out`.
    void Feed(QByteArrayView data, QByteArray& out);
    // The upstream body ended, completely.
    void Finish(QByteArray& out);
    // The upstream transfer failed part way: passes on what is whole, without a final line.
    void Abort(QByteArray& out);

    // Nothing more is wanted from upstream: a bound is reached or the response was refused.
    bool Full() const { return m_full; }

private:
    enum class Mode
    {
        Undecided,
        Pass,
        Playlist,
        Refused
    };
    void settle(QByteArray& out);
    void decide(bool playlist, QByteArray& out);
    void forward(QByteArrayView data, QByteArray& out);

    UpstreamResponse m_upstream;
    Limits m_limits;
    QByteArray m_routeBase;
    Mode m_mode = Mode::Undecided;
    QByteArray m_prefix;
    qsizetype m_written = 0;
    std::optional<PlaylistRewriter> m_rewriter;
    std::function<Route::BodyObserver()> m_observe;
    Route::BodyObserver m_observer;
    bool m_full = false;
};

} // namespace relay
