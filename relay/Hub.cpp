#include "Hub.h"

#include <QRandomGenerator>
#include <algorithm>
#include <array>
#include <sys/socket.h>

namespace relay::detail {

void Link::Cut()
{
    const std::lock_guard lock(m_mutex);
    m_cut = true;
    if (m_socket.valid())
        ::shutdown(m_socket.get(), SHUT_RDWR);
}

void Link::Close()
{
    const std::lock_guard lock(m_mutex);
    // A cut connection ends with a reset: what is still queued for libvlc is dropped, rather
    // than read after the cut.
    if (m_cut && m_socket.valid()) {
        const linger reset{1, 0};
        ::setsockopt(m_socket.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    m_socket.reset();
}

bool RouteState::Attach(const std::shared_ptr<Link>& link)
{
    const std::lock_guard lock(m_mutex);
    if (m_cancelled)
        return false;
    m_links.push_back(link);
    return true;
}

void RouteState::Detach(const Link* link)
{
    const std::lock_guard lock(m_mutex);
    std::erase_if(m_links, [link](const auto& held) { return held.get() == link; });
}

void RouteState::Cancel()
{
    std::vector<std::shared_ptr<Link>> links;
    {
        const std::lock_guard lock(m_mutex);
        m_cancelled = true;
        links.swap(m_links);
    }
    for (const auto& link : links)
        link->Cut();
}

void RouteState::ObserveBodies(std::function<Route::BodyObserver()> observe)
{
    const std::lock_guard lock(m_mutex);
    m_observe = std::move(observe);
}

Route::BodyObserver RouteState::NewBodyObserver()
{
    std::function<Route::BodyObserver()> observe;
    {
        const std::lock_guard lock(m_mutex);
        observe = m_observe;
    }
    return observe ? observe() : Route::BodyObserver{};
}

void Hub::SetPort(quint16 listeningPort)
{
    port = listeningPort;
    base = "http://127.0.0.1:" + QByteArray::number(port) + '/';
}

std::shared_ptr<RouteState> Hub::AddRoute()
{
    // A key nobody can guess keeps other local users from borrowing the relay as a proxy.
    std::array<quint32, 4> random{};
    QRandomGenerator::system()->fillRange(random.data(), random.size());
    const QByteArray key =
        QByteArray(reinterpret_cast<const char*>(random.data()), sizeof(random)).toHex();
    auto route = std::make_shared<RouteState>(key);
    const std::lock_guard lock(m_mutex);
    m_routes.insert(key, route);
    return route;
}

std::shared_ptr<RouteState> Hub::FindRoute(QByteArrayView key)
{
    const std::lock_guard lock(m_mutex);
    if (m_stopping)
        return nullptr;
    return m_routes.value(key.toByteArray());
}

void Hub::ForgetRoute(const QByteArray& key)
{
    const std::lock_guard lock(m_mutex);
    m_routes.remove(key);
}

bool Hub::Admit(const std::shared_ptr<Link>& link)
{
    const std::lock_guard lock(m_mutex);
    if (m_stopping || m_links.size() >= size_t(StreamRelay::kMaxConnections))
        return false;
    m_links.push_back(link);
    return true;
}

void Hub::Leave(const Link* link)
{
    const std::lock_guard lock(m_mutex);
    std::erase_if(m_links, [link](const auto& held) { return held.get() == link; });
    m_idle.notify_all();
}

void Hub::Stop(std::chrono::milliseconds grace)
{
    std::vector<std::shared_ptr<RouteState>> routes;
    std::vector<std::shared_ptr<Link>> links;
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
        routes.assign(m_routes.cbegin(), m_routes.cend());
        links = m_links;
    }
    for (const auto& route : routes)
        route->Cancel();
    for (const auto& link : links)
        link->Cut();
    std::unique_lock lock(m_mutex);
    m_idle.wait_for(lock, grace, [this] { return m_links.empty(); });
}

} // namespace relay::detail
