// One admitted libvlc connection: fetch the upstream response with libcurl, pass it on shaped.
// Everything waits in a poll with a timeout, on the client's socket among others, so a cut
// (which shuts that socket down) wakes it at once.
#include "Address.h"
#include "Http.h"
#include "Hub.h"
#include "Response.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <curl/curl.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>

namespace relay::detail {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A client that takes nothing this long is given up: a player paused on a live stream is far
// behind by then anyway.
constexpr auto kClientIdleLimit = std::chrono::seconds(60);
// Upstream is paused while this much waits for the client, and resumed below kLowWater.
constexpr qsizetype kHighWater = qsizetype(256) * 1024;
constexpr qsizetype kLowWater = qsizetype(64) * 1024;
constexpr milliseconds kMaxWait(1000);
constexpr char kVia[] = "Via: 1.1 quorvel";

struct CurlEasyCleanup
{
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlMultiCleanup
{
    void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
struct CurlListFree
{
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyCleanup>;
using CurlMulti = std::unique_ptr<CURLM, CurlMultiCleanup>;
using CurlList = std::unique_ptr<curl_slist, CurlListFree>;

// The easy handle belongs to the multi handle while this lives.
class MultiMember
{
public:
    MultiMember(CURLM* multi, CURL* easy) : m_multi(multi), m_easy(easy)
    {
        m_added = curl_multi_add_handle(multi, easy) == CURLM_OK;
    }
    ~MultiMember()
    {
        if (m_added)
            curl_multi_remove_handle(m_multi, m_easy);
    }
    MultiMember(const MultiMember&) = delete;
    MultiMember& operator=(const MultiMember&) = delete;
    bool added() const { return m_added; }

private:
    CURLM* m_multi;
    CURL* m_easy;
    bool m_added = false;
};

int pollMs(Clock::duration wait)
{
    const auto ms = std::chrono::ceil<milliseconds>(wait);
    return int(std::clamp(ms, milliseconds(1), kMaxWait).count());
}

template <typename T> bool setOption(CURL* easy, CURLoption option, T value)
{
    return curl_easy_setopt(easy, option, value) == CURLE_OK;
}

// Whether `address` is this relay's own listening socket, under any name that reaches it: a
// redirect (or a playlist) pointing there would have the relay ask itself, again and again,
// until every slot is taken. Any loopback or unspecified address with the relay's port counts.
bool isRelayItself(const sockaddr* address, quint16 relayPort)
{
    if (address->sa_family == AF_INET) {
        sockaddr_in ipv4{};
        std::memcpy(&ipv4, address, sizeof ipv4);
        const quint32 host = ntohl(ipv4.sin_addr.s_addr);
        return ntohs(ipv4.sin_port) == relayPort && ((host >> 24) == 127 || host == 0);
    }
    if (address->sa_family == AF_INET6) {
        sockaddr_in6 ipv6{};
        std::memcpy(&ipv6, address, sizeof ipv6);
        const in6_addr& ip = ipv6.sin6_addr;
        const bool local =
            IN6_IS_ADDR_LOOPBACK(&ip) || IN6_IS_ADDR_UNSPECIFIED(&ip) ||
            (IN6_IS_ADDR_V4MAPPED(&ip) &&
             (ip.s6_addr[12] == 127 || (ip.s6_addr[12] == 0 && ip.s6_addr[13] == 0 &&
                                        ip.s6_addr[14] == 0 && ip.s6_addr[15] == 0)));
        return ntohs(ipv6.sin6_port) == relayPort && local;
    }
    return false;
}

class Session
{
public:
    Session(std::shared_ptr<Hub> hub, std::shared_ptr<Link> link, const Admitted& admitted)
        : m_hub(std::move(hub)), m_link(std::move(link)), m_fd(m_link->fd()), m_admitted(admitted)
    {}

    void Run();

private:
    enum class End
    {
        Complete,  // the upstream body ended
        Enough,    // a bound is reached, or the response is refused
        Failed,    // upstream failed or went silent
        Abandoned, // the client is gone, or the connection was cut
    };

    void reply(int status);
    bool configure(CURL* easy, CurlList& headers);
    void relay();
    ResponseShaper& shaper();
    void noteWhatTheChannelIs();
    End transfer(CURLM* multi, CURL* easy, CURLcode& result);
    UpstreamResponse describe() const;
    qsizetype pending() const { return m_out.size() - m_sent; }
    bool flush();
    bool drain();
    bool clientStillThere();

    static size_t onHeader(char* data, size_t size, size_t count, void* self);
    static size_t onBody(char* data, size_t size, size_t count, void* self);
    static curl_socket_t openSocket(void* self, curlsocktype purpose, curl_sockaddr* address);

    std::shared_ptr<Hub> m_hub;
    std::shared_ptr<Link> m_link;
    const int m_fd;
    const Admitted& m_admitted;
    QByteArray m_routeBase;
    CURL* m_easy = nullptr;
    std::optional<ResponseShaper> m_shaper;
    QByteArray m_out;
    qsizetype m_sent = 0;
    Clock::time_point m_lastUpstream;
    Clock::time_point m_lastClient;
    bool m_paused = false;
};

void Session::Run()
{
    m_routeBase = m_hub->base + m_admitted.route->key + '/';
    relay();
}

void Session::reply(int status)
{
    m_out = EmptyResponse(status);
    m_sent = 0;
    m_lastClient = Clock::now();
    drain();
}

bool Session::configure(CURL* easy, CurlList& headers)
{
    const Request& request = m_admitted.request;
    const auto append = [&headers](const QByteArray& line) {
        curl_slist* longer = curl_slist_append(headers.get(), line.constData());
        if (longer == nullptr)
            return false;
        (void)headers.release();
        headers.reset(longer);
        return true;
    };
    // A proxy says so (RFC 9110, 7.6.3); it also lets a server's log tell relayed requests.
    if (!append(kVia))
        return false;
    if (!request.range.isEmpty() && !append("Range: " + request.range))
        return false;
    if (!request.cacheControl.isEmpty() && !append("Cache-Control: " + request.cacheControl))
        return false;
    const long headOnly = request.method == "HEAD" ? 1L : 0L;
    bool ok =
        setOption(easy, CURLOPT_URL, m_admitted.target.upstreamUrl.constData()) &&
        setOption(easy, CURLOPT_PROTOCOLS_STR, "http,https") &&
        setOption(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") &&
        setOption(easy, CURLOPT_FOLLOWLOCATION, 1L) && setOption(easy, CURLOPT_MAXREDIRS, 10L) &&
        setOption(easy, CURLOPT_NOSIGNAL, 1L) && setOption(easy, CURLOPT_NOBODY, headOnly) &&
        setOption(easy, CURLOPT_CONNECTTIMEOUT_MS, long(m_hub->limits.connectTimeout.count())) &&
        setOption(easy, CURLOPT_HTTPHEADER, headers.get()) &&
        setOption(easy, CURLOPT_HEADERFUNCTION, &Session::onHeader) &&
        setOption(easy, CURLOPT_HEADERDATA, this) &&
        setOption(easy, CURLOPT_WRITEFUNCTION, &Session::onBody) &&
        setOption(easy, CURLOPT_WRITEDATA, this) &&
        setOption(easy, CURLOPT_OPENSOCKETFUNCTION, &Session::openSocket) &&
        setOption(easy, CURLOPT_OPENSOCKETDATA, this);
    if (ok && !request.userAgent.isEmpty())
        ok = setOption(easy, CURLOPT_USERAGENT, request.userAgent.constData());
#if LIBCURL_VERSION_NUM >= 0x075700
    // A name still being looked up when the client goes would otherwise be waited for.
    if (ok)
        ok = setOption(easy, CURLOPT_QUICK_EXIT, 1L);
#endif
    return ok;
}

void Session::relay()
{
    const CurlEasy easy(curl_easy_init());
    const CurlMulti multi(curl_multi_init());
    CurlList headers;
    if (!easy || !multi || !configure(easy.get(), headers))
        return reply(502);
    m_easy = easy.get();
    const MultiMember member(multi.get(), easy.get());
    if (!member.added())
        return reply(502);

    CURLcode result = CURLE_OK;
    switch (transfer(multi.get(), easy.get(), result)) {
    case End::Complete:
        shaper().Finish(m_out);
        noteWhatTheChannelIs();
        drain();
        break;
    case End::Enough:
        drain();
        break;
    case End::Failed:
        if (m_shaper) {
            m_shaper->Abort(m_out);
            drain();
        } else {
            reply(result == CURLE_OPERATION_TIMEDOUT ? 504 : 502);
        }
        break;
    case End::Abandoned:
        break;
    }
}

Session::End Session::transfer(CURLM* multi, CURL* easy, CURLcode& result)
{
    const milliseconds stallLimit = m_hub->limits.stallTimeout;
    m_lastUpstream = m_lastClient = Clock::now();
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK)
            return End::Failed;
        int queued = 0;
        while (const CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE) {
                result = message->data.result;
                return result == CURLE_OK ? End::Complete : End::Failed;
            }
        }
        if (m_shaper && m_shaper->Full())
            return End::Enough;
        if (!flush() || m_link->IsCut())
            return End::Abandoned;
        if (m_paused && pending() < kLowWater) {
            m_paused = false;
            m_lastUpstream = Clock::now();
            // May deliver the held-back data through onBody at once.
            curl_easy_pause(easy, CURLPAUSE_CONT);
            continue;
        }
        const Clock::time_point now = Clock::now();
        if (!m_paused && now - m_lastUpstream >= stallLimit) {
            result = CURLE_OPERATION_TIMEDOUT;
            return End::Failed;
        }
        if (pending() > 0 && now - m_lastClient >= kClientIdleLimit)
            return End::Abandoned;

        curl_waitfd client{m_fd, short(CURL_WAIT_POLLIN | (pending() > 0 ? CURL_WAIT_POLLOUT : 0)),
                           0};
        const int wait =
            m_paused ? int(kMaxWait.count()) : pollMs(stallLimit - (now - m_lastUpstream));
        if (curl_multi_poll(multi, &client, 1, wait, nullptr) != CURLM_OK)
            return End::Failed;
        if ((client.revents & CURL_WAIT_POLLIN) != 0 && !clientStillThere())
            return End::Abandoned;
    }
}

// Anything a client sends after its request is read and dropped; the end of its stream means it
// has gone.
bool Session::clientStillThere()
{
    char buffer[1024];
    const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
    if (got > 0)
        return true;
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

UpstreamResponse Session::describe() const
{
    UpstreamResponse response;
    long status = 0;
    if (curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK)
        response.status = int(status);
    const char* type = nullptr;
    if (curl_easy_getinfo(m_easy, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type != nullptr)
        response.contentType = type;
    curl_off_t length = -1;
    if (curl_easy_getinfo(m_easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK)
        response.contentLength = length;
    const char* url = nullptr;
    if (curl_easy_getinfo(m_easy, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url != nullptr)
        response.effectiveUrl = url;
    curl_header* range = nullptr;
    if (curl_easy_header(m_easy, "Content-Range", 0, CURLH_HEADER, -1, &range) == CURLHE_OK)
        response.contentRange = range->value;
    return response;
}

bool Session::flush()
{
    while (pending() > 0) {
        const ssize_t sent =
            ::send(m_fd, m_out.constData() + m_sent, size_t(pending()), MSG_NOSIGNAL);
        if (sent > 0) {
            m_sent += sent;
            m_lastClient = Clock::now();
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            return false;
        }
    }
    if (pending() == 0) {
        m_out.clear();
        m_sent = 0;
    } else if (m_sent >= kHighWater) {
        m_out.remove(0, m_sent);
        m_sent = 0;
    }
    return true;
}

bool Session::drain()
{
    for (;;) {
        if (!flush())
            return false;
        if (pending() == 0)
            return true;
        if (m_link->IsCut() || Clock::now() - m_lastClient >= kClientIdleLimit)
            return false;
        pollfd wait{m_fd, POLLOUT, 0};
        ::poll(&wait, 1, int(kMaxWait.count()));
    }
}

size_t Session::onHeader(char*, size_t size, size_t count, void* self)
{
    static_cast<Session*>(self)->m_lastUpstream = Clock::now();
    return size * count;
}

size_t Session::onBody(char* data, size_t size, size_t count, void* self)
{
    auto* session = static_cast<Session*>(self);
    if (session->pending() >= kHighWater) {
        session->m_paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    session->m_lastUpstream = Clock::now();
    const size_t bytes = size * count;
    ResponseShaper& shaper = session->shaper();
    if (!shaper.Full())
        shaper.Feed(QByteArrayView(data, qsizetype(bytes)), session->m_out);
    session->noteWhatTheChannelIs();
    return bytes;
}

curl_socket_t Session::openSocket(void* self, curlsocktype, curl_sockaddr* address)
{
    const auto* session = static_cast<const Session*>(self);
    if (isRelayItself(&address->addr, session->m_hub->port))
        return CURL_SOCKET_BAD;
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

void Session::noteWhatTheChannelIs()
{
    if (m_admitted.target.kind == Kind::Channel && m_shaper && m_shaper->IsPlaylist())
        m_admitted.route->channelWasPlaylist = true;
}

ResponseShaper& Session::shaper()
{
    if (!m_shaper) {
        const Kind kind = m_admitted.target.kind;
        m_shaper.emplace(describe(), m_hub->limits, m_routeBase, kind,
                         m_admitted.request.method == "HEAD",
                         kind == Kind::Channel && m_admitted.route->channelWasPlaylist.load());
        m_shaper->ObserveBodies([route = m_admitted.route] { return route->NewBodyObserver(); });
    }
    return *m_shaper;
}

} // namespace

void ServeConnection(const std::shared_ptr<Hub>& hub, const std::shared_ptr<Link>& link,
                     const Admitted& admitted)
{
    {
        Session session(hub, link, admitted);
        session.Run();
    }
    admitted.route->Detach(link.get());
    link->Close();
    hub->Leave(link.get());
}

} // namespace relay::detail
