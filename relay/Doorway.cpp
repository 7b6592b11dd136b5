#include "Doorway.h"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <system_error>
#include <thread>

namespace relay::detail {
namespace {

// The answer fits a fresh socket's buffer: it is sent without waiting, or not at all.
void answer(int fd, int status)
{
    const QByteArray response = EmptyResponse(status);
    (void)::send(fd, response.constData(), size_t(response.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void closeWithReset(posix::UniqueFd& socket)
{
    const linger reset{1, 0};
    ::setsockopt(socket.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    socket.reset();
}

} // namespace

Doorway::~Doorway()
{
    for (Entry& entry : m_waiting)
        closeWithReset(entry.socket);
}

void Doorway::Add(posix::UniqueFd client, Clock::time_point now)
{
    if (m_waiting.size() >= kMaxWaitingHeads) {
        closeWithReset(m_waiting.front().socket);
        m_waiting.erase(m_waiting.begin());
    }
    m_waiting.push_back(Entry{std::move(client), now, {}});
    if (!read(m_waiting.back()))
        m_waiting.pop_back();
}

void Doorway::Watch(std::vector<pollfd>& polls) const
{
    for (const Entry& entry : m_waiting)
        polls.push_back({entry.socket.get(), POLLIN, 0});
}

void Doorway::Serve(const pollfd* polls, std::size_t count, Clock::time_point now)
{
    std::vector<Entry> kept;
    kept.reserve(m_waiting.size());
    for (std::size_t i = 0; i < m_waiting.size(); ++i) {
        Entry& entry = m_waiting[i];
        bool keep = true;
        if (i < count && polls[i].revents != 0)
            keep = read(entry);
        if (keep && now >= deadline(entry)) {
            closeWithReset(entry.socket);
            keep = false;
        }
        if (keep)
            kept.push_back(std::move(entry));
    }
    m_waiting.swap(kept);
}

std::optional<Doorway::Clock::time_point> Doorway::NextDeadline() const
{
    std::optional<Clock::time_point> next;
    for (const Entry& entry : m_waiting)
        if (!next || deadline(entry) < *next)
            next = deadline(entry);
    return next;
}

Doorway::Clock::time_point Doorway::deadline(const Entry& entry) const
{
    return entry.arrived +
           (entry.head.isEmpty() ? m_hub->limits.firstByteTimeout : m_hub->limits.headTimeout);
}

bool Doorway::read(Entry& entry)
{
    for (;;) {
        char buffer[4096];
        const ssize_t got = ::recv(entry.socket.get(), buffer, sizeof buffer, 0);
        if (got > 0) {
            entry.head.append(buffer, got);
            if (const qsizetype end = RequestHeadEnd(entry.head); end >= 0) {
                dispatch(entry, entry.head.first(end));
                return false;
            }
            if (entry.head.size() > kMaxRequestHeadBytes) {
                answer(entry.socket.get(), 400);
                return false;
            }
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

void Doorway::dispatch(Entry& entry, const QByteArray& head)
{
    const int fd = entry.socket.get();
    const std::optional<Request> request = ParseRequestHead(head);
    if (!request)
        return answer(fd, 400);
    if (request->method != "GET" && request->method != "HEAD")
        return answer(fd, 405);
    const std::optional<LocalTarget> target = ParseLocalTarget(request->target);
    std::shared_ptr<RouteState> route = target ? m_hub->FindRoute(target->routeKey) : nullptr;
    if (!route)
        return answer(fd, 404);

    const auto link = std::make_shared<Link>(std::move(entry.socket));
    if (!m_hub->Admit(link))
        return answer(link->fd(), 503);
    if (!route->Attach(link)) {
        m_hub->Leave(link.get());
        return answer(link->fd(), 410);
    }
    try {
        std::thread(ServeConnection, m_hub, link, Admitted{*request, *target, route}).detach();
    } catch (const std::system_error&) {
        route->Detach(link.get());
        m_hub->Leave(link.get());
        answer(link->fd(), 503);
    }
}

} // namespace relay::detail
