#include "StreamRelay.h"

#include "Address.h"
#include "Http.h"
#include "Hub.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>

namespace relay {
namespace {

// How long the relay's destructor lets cut connections finish: they only have to notice the cut
// and release their handles, which takes microseconds.
constexpr std::chrono::milliseconds kStopGrace(150);

} // namespace

Route::Route(std::shared_ptr<detail::Hub> hub, std::shared_ptr<detail::RouteState> state,
             QString localUrl)
    : m_hub(std::move(hub)), m_state(std::move(state)), m_localUrl(std::move(localUrl))
{}

Route::~Route()
{
    Cancel();
    m_hub->ForgetRoute(m_state->key);
}

QString Route::LocalUrl() const
{
    return m_localUrl;
}

void Route::ObserveBodies(std::function<BodyObserver()> observe)
{
    m_state->ObserveBodies(std::move(observe));
}

void Route::Cancel()
{
    m_state->Cancel();
}

StreamRelay::StreamRelay(Limits limits) : m_hub(std::make_shared<detail::Hub>(limits)) {}

StreamRelay::~StreamRelay()
{
    if (m_acceptor.joinable()) {
        const eventfd_t one = 1;
        eventfd_write(m_wake.get(), one);
        m_acceptor.join();
    }
    m_hub->Stop(kStopGrace);
}

bool StreamRelay::Start()
{
    if (m_listener.valid())
        return false;
    posix::UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener.valid())
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.get(), SOMAXCONN) != 0 ||
        ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return false;
    posix::UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake.valid())
        return false;
    m_hub->SetPort(ntohs(address.sin_port));
    m_listener = std::move(listener);
    m_wake = std::move(wake);
    try {
        m_acceptor = std::thread(&StreamRelay::Accept, this);
    } catch (const std::system_error&) {
        m_listener.reset();
        return false;
    }
    return true;
}

quint16 StreamRelay::Port() const
{
    return m_hub->port;
}

std::shared_ptr<Route> StreamRelay::Open(const QString& upstream)
{
    if (!m_acceptor.joinable())
        return nullptr;
    const QUrl url(upstream, QUrl::TolerantMode);
    if (!IsRelayable(url))
        return nullptr;
    std::shared_ptr<detail::RouteState> state = m_hub->AddRoute();
    const QByteArray local = LocalUrlFor(m_hub->base + state->key + '/', url);
    // The constructor is private to keep routes made only here.
    return std::shared_ptr<Route>(new Route(m_hub, std::move(state), QString::fromLatin1(local)));
}

void StreamRelay::Accept()
{
    for (;;) {
        pollfd waits[2] = {{m_listener.get(), POLLIN, 0}, {m_wake.get(), POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (waits[1].revents != 0)
            return;
        posix::UniqueFd client(
            ::accept4(m_listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!client.valid()) {
            // Out of descriptors or memory: wait a little rather than spin on the listener.
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
                ::poll(&waits[1], 1, 100);
            continue;
        }
        auto link = std::make_shared<detail::Link>(std::move(client));
        if (!m_hub->Admit(link)) {
            const QByteArray busy = EmptyResponse(503);
            (void)::send(link->fd(), busy.constData(), size_t(busy.size()), MSG_NOSIGNAL);
            continue;
        }
        try {
            std::thread(detail::ServeConnection, m_hub, link).detach();
        } catch (const std::system_error&) {
            m_hub->Leave(link.get());
        }
    }
}

} // namespace relay
