#pragma once

#include "UniqueFd.h"

#include <QByteArrayView>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace relay {

namespace detail {
struct Hub;
struct RouteState;
} // namespace detail

// What the relay lets through. No byte bound is reached by a sound stream: a live segment of a
// few seconds is well under a megabyte, a live playlist a few kilobytes.
struct Limits
{
    qsizetype maxPlaylistBytes = qsizetype(4) * 1024 * 1024; // cut at a line end below this
    qsizetype maxBodyBytes = qsizetype(32) * 1024 * 1024;    // any other body is cut here
    std::chrono::milliseconds connectTimeout = std::chrono::seconds(5);
    std::chrono::milliseconds stallTimeout = std::chrono::seconds(10); // no byte from upstream
    // A new connection is dropped without a first byte by then, or without its whole request
    // head: libvlc sends its head at once.
    std::chrono::milliseconds firstByteTimeout = std::chrono::seconds(2);
    std::chrono::milliseconds headTimeout = std::chrono::seconds(5);
};

// One player's way to one stream. Destroying the last reference cancels it.
class Route
{
public:
    ~Route();
    Route(const Route&) = delete;
    Route& operator=(const Route&) = delete;

    // What libvlc is given instead of the stream's address: the relay's loopback address, this
    // route's key and the upstream location. Every URI the relay passes in a playlist is another
    // such URL of the same route.
    QString LocalUrl() const;

    // Sees the body of each response on this route that is not a playlist (the media segments),
    // chunk by chunk, on the relay's connection thread, each chunk before libvlc is sent it.
    // Every such response gets an observer of its own from `observe`, called when the response
    // is known not to be a playlist; both run on that thread and must not block. Replaces any
    // earlier `observe`; responses already under way keep the observer they were given.
    using BodyObserver = std::function<void(QByteArrayView chunk)>;
    void ObserveBodies(std::function<BodyObserver()> observe);

    // Cuts every connection of this route now and refuses new ones: whatever libvlc is reading
    // through it returns at once. Safe from any thread, at any time (even after the relay is
    // gone); idempotent.
    void Cancel();

private:
    friend class StreamRelay;
    Route(std::shared_ptr<detail::Hub> hub, std::shared_ptr<detail::RouteState> state,
          QString localUrl);

    std::shared_ptr<detail::Hub> m_hub;
    std::shared_ptr<detail::RouteState> m_state;
    QString m_localUrl;
};

// An HTTP relay on 127.0.0.1 between libvlc and the HLS servers. libvlc's adaptive-streaming
// module keeps a whole segment in memory and holds its lock for as long as a download runs, so
// a server that never ends a segment, or stops answering in the middle of one, can neither be
// bounded nor stopped from outside. Through the relay every response is bounded, a silent
// upstream is given up after Limits::stallTimeout, and Route::Cancel ends libvlc's reads at
// once, which lets libvlc_media_player_stop return. Every URI a playlist names comes to libvlc
// as a relay URL, so libvlc reaches no server but through the relay (see README.md).
//
// Needs curl_global_init. Request heads are read on the accepting thread; a request for a live
// route is then served by a thread of its own, at most kMaxConnections at a time (beyond that
// the relay answers 503).
class StreamRelay
{
public:
    static constexpr int kMaxConnections = 32;

    explicit StreamRelay(Limits limits = {});
    // Cancels every route and returns promptly, even while an upstream server is frozen:
    // connection threads still finishing hold only state they share-own.
    ~StreamRelay();
    StreamRelay(const StreamRelay&) = delete;
    StreamRelay& operator=(const StreamRelay&) = delete;

    // Listens on 127.0.0.1, on a port the system picks; false on failure (or if started).
    bool Start();

    // The port listened on; 0 before Start.
    quint16 Port() const;

    // A route to `upstream`; null when the relay is not started or cannot route `upstream`
    // (see IsRelayable).
    std::shared_ptr<Route> Open(const QString& upstream);

private:
    void Accept();

    std::shared_ptr<detail::Hub> m_hub;
    posix::UniqueFd m_listener;
    posix::UniqueFd m_wake; // an eventfd that ends the accepting thread
    std::thread m_acceptor;
};

} // namespace relay
