#include "Http.h"

#include <QList>

namespace relay {
namespace {

QByteArrayView reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 304:
        return "Not Modified";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 410:
        return "Gone";
    case 416:
        return "Range Not Satisfiable";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return "Status";
    }
}

// No control characters but tab; `spaces` allows spaces, tabs and non-ASCII bytes, which a
// request target may carry raw when a client copies them from a playlist.
bool isPrintable(QByteArrayView text, bool spaces)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (spaces && c == '\t')
            continue;
        if (byte < 0x20 || byte == 0x7F || (!spaces && (byte == 0x20 || byte > 0x7F)))
            return false;
    }
    return true;
}

// A value from upstream goes on only if it cannot end its header line.
void addHeader(QByteArray& text, QByteArrayView name, const QByteArray& value)
{
    if (value.isEmpty() || value.contains('\r') || value.contains('\n'))
        return;
    text += name.toByteArray() + ": " + value + "\r\n";
}

} // namespace

qsizetype RequestHeadEnd(QByteArrayView data)
{
    // Bare line feeds are taken as line ends too, as most servers do.
    for (qsizetype i = data.indexOf('\n'); i >= 0; i = data.indexOf('\n', i + 1)) {
        if (i + 1 < data.size() && data[i + 1] == '\n')
            return i + 2;
        if (i + 2 < data.size() && data[i + 1] == '\r' && data[i + 2] == '\n')
            return i + 3;
    }
    return -1;
}

std::optional<Request> ParseRequestHead(QByteArrayView head)
{
    Request request;
    bool first = true;
    for (QByteArrayView line : QByteArray::fromRawData(head.data(), head.size()).split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (first) {
            first = false;
            const qsizetype space = line.indexOf(' ');
            const qsizetype last = line.lastIndexOf(' ');
            if (space <= 0 || last <= space)
                return std::nullopt;
            const QByteArrayView version = line.sliced(last + 1);
            if (version.size() != 8 || !version.startsWith("HTTP/1.") || version[7] < '0' ||
                version[7] > '9')
                return std::nullopt;
            request.method = line.first(space).toByteArray();
            request.target = line.sliced(space + 1, last - space - 1).trimmed().toByteArray();
            if (!isPrintable(request.method, false) || !isPrintable(request.target, true))
                return std::nullopt;
            continue;
        }
        if (line.isEmpty())
            continue;
        // A control byte (a bare CR above all) could end a header line further on, where the
        // relay's request goes; a folded line continues one in a way servers read differently.
        if (!isPrintable(line, true) || line.startsWith(' ') || line.startsWith('\t'))
            return std::nullopt;
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArrayView name = line.first(colon).trimmed();
        const QByteArray value = line.sliced(colon + 1).trimmed().toByteArray();
        if (name.compare("Range", Qt::CaseInsensitive) == 0)
            request.range = value;
        else if (name.compare("User-Agent", Qt::CaseInsensitive) == 0)
            request.userAgent = value;
        else if (name.compare("Cache-Control", Qt::CaseInsensitive) == 0)
            request.cacheControl = value;
    }
    if (first)
        return std::nullopt;
    return request;
}

QByteArray FormatResponseHead(const ResponseHead& head)
{
    QByteArray text = "HTTP/1.1 " + QByteArray::number(head.status) + ' ' +
                      reasonPhrase(head.status).toByteArray() + "\r\n";
    addHeader(text, "Content-Type", head.contentType);
    addHeader(text, "Content-Range", head.contentRange);
    if (head.contentLength)
        text += "Content-Length: " + QByteArray::number(*head.contentLength) + "\r\n";
    text += "Connection: close\r\n\r\n";
    return text;
}

QByteArray EmptyResponse(int status)
{
    ResponseHead head;
    head.status = status;
    head.contentLength = 0;
    return FormatResponseHead(head);
}

namespace {

struct ContentRange
{
    qint64 first = 0;
    qint64 last = 0;
    std::optional<qint64> total;
};

std::optional<qint64> decimal(QByteArrayView text)
{
    if (text.isEmpty() || text.size() > 18)
        return std::nullopt;
    qint64 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

std::optional<ContentRange> parseContentRange(QByteArrayView text)
{
    text = text.trimmed();
    if (!text.startsWith("bytes "))
        return std::nullopt;
    text = text.sliced(6).trimmed();
    const qsizetype dash = text.indexOf('-');
    const qsizetype slash = text.indexOf('/');
    if (dash <= 0 || slash <= dash)
        return std::nullopt;
    const std::optional<qint64> first = decimal(text.first(dash));
    const std::optional<qint64> last = decimal(text.sliced(dash + 1, slash - dash - 1));
    const QByteArrayView total = text.sliced(slash + 1);
    if (!first || !last || *last < *first)
        return std::nullopt;
    ContentRange range{*first, *last, std::nullopt};
    if (total != "*") {
        range.total = decimal(total);
        if (!range.total || *range.total <= *last)
            return std::nullopt;
    }
    return range;
}

} // namespace

std::optional<qint64> ContentRangeStart(QByteArrayView contentRange)
{
    const std::optional<ContentRange> range = parseContentRange(contentRange);
    if (!range)
        return std::nullopt;
    return range->first;
}

std::optional<QByteArray> CanonicalContentRange(QByteArrayView contentRange)
{
    const std::optional<ContentRange> range = parseContentRange(contentRange);
    if (!range)
        return std::nullopt;
    return "bytes " + QByteArray::number(range->first) + '-' + QByteArray::number(range->last) +
           '/' + (range->total ? QByteArray::number(*range->total) : QByteArray("*"));
}

} // namespace relay
