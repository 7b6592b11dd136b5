// The relay's playlist rewriting on any body a server might send, in any chunks. Whatever went
// in, every location a reader of any laxness could find in what comes out is a relay URL of the
// route: the reader splits lines on CR, LF and NUL; takes any line not starting with '#' for a
// URI; takes, in a '#' line, "URI" in any case followed by '=' (blanks around it or not) for an
// attribute, quoted or not; and takes "scheme://" anywhere for a location. Each relay URL reads
// back as the route's, and the output keeps its bound.
#include "Playlist.h"

#include <cstdlib>

namespace {

constexpr QByteArrayView kRouteBase = "http://127.0.0.1:4000/k/";
constexpr qsizetype kBound = 64 * 1024;

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// The relay URL starting at `at` in `text`: its length, or 0 when there is none.
qsizetype relayUrlAt(QByteArrayView text, qsizetype at)
{
    if (!text.sliced(at).startsWith(kRouteBase))
        return 0;
    qsizetype end = at + kRouteBase.size();
    while (end < text.size()) {
        const char c = text[end];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '/' || c == '-' || c == '_' || c == '.'))
            break;
        ++end;
    }
    const QByteArrayView url = text.sliced(at, end - at);
    if (url != QByteArrayView(kRouteBase.toByteArray() + "refused")) {
        const std::optional<relay::LocalTarget> target =
            relay::ParseLocalTarget(url.sliced(url.indexOf('/', 7)));
        if (!target || target->routeKey != "k" || !relay::CanonicalUpstream(target->upstreamUrl))
            std::abort();
    }
    return end - at;
}

void checkLine(QByteArrayView line)
{
    line = line.trimmed();
    if (line.isEmpty())
        return;
    if (!line.startsWith('#')) {
        if (relayUrlAt(line, 0) != line.size())
            std::abort();
        return;
    }
    for (qsizetype i = 0; i + 3 <= line.size(); ++i) {
        if (line.sliced(i, 3).compare("URI", Qt::CaseInsensitive) != 0)
            continue;
        qsizetype at = i + 3;
        while (at < line.size() && isBlank(line[at]))
            ++at;
        if (at == line.size() || line[at] != '=')
            continue;
        ++at;
        while (at < line.size() && isBlank(line[at]))
            ++at;
        const bool quoted = at < line.size() && line[at] == '"';
        if (quoted)
            ++at;
        const qsizetype length = relayUrlAt(line, at);
        const qsizetype end = at + length;
        // The value ends with the relay URL: at its quote, or at a comma or the line's end.
        if (length == 0 || (quoted ? end >= line.size() || line[end] != '"'
                                   : end < line.size() && line[end] != ','))
            std::abort();
    }
    for (qsizetype at = line.indexOf("://"); at >= 0; at = line.indexOf("://", at + 1))
        if (at < 4 || relayUrlAt(line, at - 4) == 0)
            std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte sets the chunk size the body arrives in.
    const qsizetype chunk = qsizetype(data[0]) + 1;
    const QByteArrayView body(reinterpret_cast<const char*>(data) + 1, qsizetype(size) - 1);
    relay::PlaylistRewriter rewriter("http://origin:8080/hls/ch1/index.m3u8",
                                     kRouteBase.toByteArray(), kBound);
    QByteArray out;
    for (qsizetype at = 0; at < body.size() && !rewriter.Full(); at += chunk)
        rewriter.Feed(body.sliced(at, std::min(chunk, body.size() - at)), out);
    rewriter.Finish(out);

    if (out.size() > kBound || (!out.isEmpty() && !out.endsWith('\n')) || out.contains('\r') ||
        out.contains('\0'))
        std::abort();
    qsizetype start = 0;
    for (qsizetype i = 0; i <= out.size(); ++i) {
        if (i < out.size() && out[i] != '\n' && out[i] != '\r' && out[i] != '\0')
            continue;
        checkLine(QByteArrayView(out).sliced(start, i - start));
        start = i + 1;
    }
    return 0;
}
