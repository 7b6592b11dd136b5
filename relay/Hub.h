#pragma once

#include "Address.h"
#include "Http.h"
#include "StreamRelay.h"
#include "UniqueFd.h"

#include <QByteArray>
#include <QHash>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

// The state a relay shares with its routes and its connection threads, each of which may outlive
// the others.
namespace relay::detail {

// One libvlc connection, as seen by whoever may have to cut it. Its own thread reads and writes
// the socket; any other thread may shut the socket down, which wakes every poll waiting on it
// and ends libvlc's read of it.
class Link
{
public:
    explicit Link(posix::UniqueFd socket) : m_socket(std::move(socket)) {}

    // For the connection's own thread, until Close.
    int fd() const { return m_socket.get(); }

    void Cut();
    bool IsCut() const { return m_cut.load(); }
    // The connection's own thread is done with the socket; a later Cut does nothing.
    void Close();

private:
    std::mutex m_mutex;
    posix::UniqueFd m_socket;
    std::atomic<bool> m_cut{false};
};

struct RouteState
{
    explicit RouteState(QByteArray routeKey) : key(std::move(routeKey)) {}

    // False once the route is cancelled: the connection is refused.
    bool Attach(const std::shared_ptr<Link>& link);
    void Detach(const Link* link);
    void Cancel();

    void ObserveBodies(std::function<Route::BodyObserver()> observe);
    // An observer for one media response's body; empty when nobody observes.
    Route::BodyObserver NewBodyObserver();

    const QByteArray key;
    // The route's own address was answered as a playlist: libvlc reads it again as one.
    std::atomic<bool> channelWasPlaylist{false};

private:
    std::mutex m_mutex;
    bool m_cancelled = false;
    std::vector<std::shared_ptr<Link>> m_links;
    std::function<Route::BodyObserver()> m_observe;
};

struct Hub
{
    explicit Hub(const Limits& relayLimits) : limits(relayLimits) {}

    // Set once by Start, before the first connection is accepted: "http://127.0.0.1:PORT/".
    void SetPort(quint16 listeningPort);

    std::shared_ptr<RouteState> AddRoute();
    // Null when no route has that key, or the relay is stopping.
    std::shared_ptr<RouteState> FindRoute(QByteArrayView key);
    void ForgetRoute(const QByteArray& key);

    // Counts a new connection in; false when the relay is full or stopping.
    bool Admit(const std::shared_ptr<Link>& link);
    void Leave(const Link* link);

    // Cancels every route, cuts every connection, and waits up to `grace` for their threads.
    void Stop(std::chrono::milliseconds grace);

    const Limits limits;
    QByteArray base;
    quint16 port = 0;

private:
    std::mutex m_mutex;
    std::condition_variable m_idle;
    QHash<QByteArray, std::shared_ptr<RouteState>> m_routes;
    std::vector<std::shared_ptr<Link>> m_links;
    bool m_stopping = false;
};

// A request whose head is read and whose route is live: what a connection slot serves.
struct Admitted
{
    Request request;
    LocalTarget target;
    std::shared_ptr<RouteState> route;
};

// Serves one admitted libvlc connection to its end; run on a thread of its own. The link is
// attached to its route and counted in by the hub; both are undone here.
void ServeConnection(const std::shared_ptr<Hub>& hub, const std::shared_ptr<Link>& link,
                     const Admitted& admitted);

} // namespace relay::detail
