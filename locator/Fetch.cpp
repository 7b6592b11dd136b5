#include "Fetch.h"

#include <QCoreApplication>
#include <curl/curl.h>
#include <memory>

namespace locator {
namespace {

constexpr long kReadChunkBytes = 1024;

struct CurlDeleter
{
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

using Clock = std::chrono::steady_clock;

struct Download
{
    QByteArray body;
    qsizetype limit = 0;
    bool overLimit = false;
    Clock::duration stallLimit{};
    Clock::time_point lastByte = Clock::now();
};

// curl's own low-speed limit averages over a window and fires seconds late; a byte-level
// watchdog gives "no byte for N seconds" exactly.
int watchStall(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    const auto* download = static_cast<const Download*>(user);
    return Clock::now() - download->lastByte > download->stallLimit ? 1 : 0;
}

size_t noteHeader(char*, size_t size, size_t count, void* user)
{
    static_cast<Download*>(user)->lastByte = Clock::now();
    return size * count;
}

size_t appendChunk(char* data, size_t size, size_t count, void* user)
{
    auto* download = static_cast<Download*>(user);
    download->lastByte = Clock::now();
    const size_t bytes = size * count;
    if (download->body.size() + qsizetype(bytes) > download->limit) {
        download->overLimit = true;
        return 0; // anything other than `bytes` makes curl abort the transfer
    }
    download->body.append(data, qsizetype(bytes));
    return bytes;
}

void check(CURLcode code, const char* what)
{
    if (code != CURLE_OK)
        throw FetchError(std::string(what) + ": " + curl_easy_strerror(code));
}

} // namespace

QString DecodeChannelList(QByteArrayView body)
{
    const qsizetype nul = body.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? body : body.first(nul));
}

QString FetchChannelList(const QString& url, const FetchLimits& limits)
{
    return DecodeChannelList(FetchChannelListBody(url, limits));
}

QByteArray FetchChannelListBody(const QString& url, const FetchLimits& limits)
{
    const CurlHandle curl(curl_easy_init());
    if (!curl)
        throw FetchError("cannot create an HTTP session");

    const QByteArray urlBytes = url.toUtf8();
    const QByteArray agent = QCoreApplication::applicationName().toUtf8();
    Download download;
    download.limit = limits.maxBodyBytes;
    download.stallLimit = limits.stallTimeout;

    CURL* h = curl.get();
    check(curl_easy_setopt(h, CURLOPT_URL, urlBytes.constData()), "url");
    check(curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http"), "protocols");
    check(curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http"), "redirect protocols");
    check(curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L), "redirects");
    check(curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L), "redirect limit");
    check(curl_easy_setopt(h, CURLOPT_USERAGENT, agent.constData()), "agent");
    check(curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kReadChunkBytes), "buffer size");
    check(curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L), "signals");
    check(curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, long(limits.connectTimeout.count())),
          "connect timeout");
    check(curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, long(limits.totalTimeout.count())), "timeout");
    check(curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, noteHeader), "header watch");
    check(curl_easy_setopt(h, CURLOPT_HEADERDATA, &download), "header watch data");
    check(curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, watchStall), "stall watch");
    check(curl_easy_setopt(h, CURLOPT_XFERINFODATA, &download), "stall watch data");
    check(curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L), "progress");
    check(curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, appendChunk), "writer");
    check(curl_easy_setopt(h, CURLOPT_WRITEDATA, &download), "writer data");

    const CURLcode result = curl_easy_perform(h);
    if (download.overLimit)
        throw FetchError("channel list larger than " + std::to_string(limits.maxBodyBytes) +
                         " bytes");
    check(result, "download");
    return std::move(download.body);
}

} // namespace locator
