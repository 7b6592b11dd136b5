#include "StreamRelay.h"

#include "Address.h"
#include "Doorway.h"
#include "Http.h"
#include "Hub.h"

#include <algorithm>
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
    const std::optional<QByteArray> url = CanonicalUpstream(upstream.toUtf8());
    if (!url)
        return nullptr;
    std::shared_ptr<detail::RouteState> state = m_hub->AddRoute();
    const QByteArray local = LocalUrlFor(m_hub->base + state->key + '/', Kind::Channel, *url);
    // The constructor is private to keep routes made only here.
    return std::shared_ptr<Route>(new Route(m_hub, std::move(state), QString::fromLatin1(local)));
}

void StreamRelay::Accept()
{
    detail::Doorway doorway(m_hub);
    std::vector<pollfd> polls;
    for (;;) {
        polls.assign({{m_listener.get(), POLLIN, 0}, {m_wake.get(), POLLIN, 0}});
        doorway.Watch(polls);
        int timeout = -1;
        if (const auto next = doorway.NextDeadline()) {
            const auto wait =
                std::chrono::ceil<std::chrono::milliseconds>(*next - detail::Doorway::Clock::now());
            timeout = int(std::clamp<std::chrono::milliseconds::rep>(wait.count(), 0, 1000));
        }
        if (::poll(polls.data(), polls.size(), timeout) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (polls[1].revents != 0)
            return; // the doorway cuts the connections still sending their heads
        const auto now = detail::Doorway::Clock::now();
        doorway.Serve(polls.data() + 2, polls.size() - 2, now);
        if ((polls[0].revents & POLLIN) == 0)
            continue;
        // A burst of connections is taken in turns with reading the ones that wait.
        for (int taken = 0; taken < 16; ++taken) {
            posix::UniqueFd client(
                ::accept4(m_listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (client.valid()) {
                doorway.Add(std::move(client), now);
                continue;
            }
            // Out of descriptors or memory: wait a little rather than spin on the listener.
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                errno != ECONNABORTED) {
                pollfd wake{m_wake.get(), POLLIN, 0};
                ::poll(&wake, 1, 100);
            }
            break;
        }
    }
}

} // namespace relay
