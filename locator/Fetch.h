#pragma once

#include <QString>
#include <chrono>
#include <stdexcept>

namespace locator {

// Any failure of a channel-list download: the connection, the request, a read, or a bound below.
class FetchError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// A broken server must neither freeze the channel window for good nor exhaust memory.
struct FetchLimits
{
    qsizetype maxBodyBytes = qsizetype(16) * 1024 * 1024;
    std::chrono::milliseconds connectTimeout = std::chrono::seconds(5);
    std::chrono::milliseconds stallTimeout = std::chrono::seconds(10); // no byte for this long
    std::chrono::milliseconds totalTimeout = std::chrono::seconds(30);
};

// One HTTP GET of `url`, read in chunks of at most 1024 bytes and decoded from UTF-8 as a whole
// (invalid sequences become U+FFFD; the text ends at the first NUL byte). The HTTP status is
// not examined: an error page is returned like any other body. Throws FetchError.
//
// The agent name is the application's name; proxies come from the environment (http_proxy,
// no_proxy), which is where a Linux desktop keeps its system proxy. Needs curl_global_init.
QString FetchChannelList(const QString& url, const FetchLimits& limits = {});

// The same download, undecoded.
QByteArray FetchChannelListBody(const QString& url, const FetchLimits& limits = {});

// The body as text, exactly as FetchChannelList decodes it.
QString DecodeChannelList(QByteArrayView body);

} // namespace locator
