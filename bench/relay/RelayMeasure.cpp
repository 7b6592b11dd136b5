// Measurements of the relay with a real libvlc player, for the figures in the relay's notes.
// Run inside the private test network:
//
//   scripts/in-netns.sh build/bench/relay_measure memory relay 60
//   scripts/in-netns.sh build/bench/relay_measure memory direct 10
//   scripts/in-netns.sh build/bench/relay_measure stop [runs]
//   scripts/in-netns.sh build/bench/relay_measure latency [runs]
//   scripts/in-netns.sh build/bench/relay_measure forms relay|direct [seconds]
//   scripts/in-netns.sh build/bench/relay_measure threads relay|direct [seconds]
//
// memory: resident memory while libvlc plays an endless segment, through a route or straight
//         from the server (which grows without bound: keep that one short).
// stop:   how long libvlc_media_player_stop takes once the server froze mid-segment: through a
//         route after Cancel, and once straight from the server, for comparison.
// latency: what the relay adds to fetching a live segment, and to a player's first picture.
// forms:   resident memory while libvlc plays a live playlist whose segment lines mix the URI forms
//          that once walked around the relay with plain ones, all naming an endless segment:
//          through a route, or handed to libvlc as it is (the bypass, for comparison).
// threads: the process's threads while a player is opened every 5 s on such a playlist ending in
//          plain lines, its segments sending 130 kB and then nothing, and let go as the program
//          lets go of one
//          (through a route: cancelled first; then stopped on a thread of its own).
#include "PlayerKit.h"
#include "StreamRelay.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;

namespace {

bool insideTestNetwork()
{
    const posix::UniqueFd probe(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, "192.168.10.11", &address.sin_addr);
    return ::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

int countOf(const QStringList& paths, const QString& part)
{
    return int(std::count_if(paths.cbegin(), paths.cend(),
                             [&part](const QString& path) { return path.contains(part); }));
}

double percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(share * double(values.size())))];
}

QString liveFolder(MediaFolder& media, const QString& name)
{
    QString folder = media.path(name);
    QDir().mkpath(folder);
    return folder;
}

// Resident memory while `player` plays, twice a second for `seconds`, printed every 5 s; the peak.
qint64 watchResident(MemoryPlayer& player, int seconds, qint64 before)
{
    qint64 peak = before;
    const Clock::time_point start = Clock::now();
    for (int tick = 1; tick <= seconds * 2; ++tick) {
        QThread::msleep(500);
        const qint64 now = ResidentBytes();
        peak = std::max(peak, now);
        if (tick % 10 == 0 || tick == seconds * 2)
            std::printf("  %5.1f s  resident %5lld MB  pictures %d\n",
                        Ms(Clock::now() - start).count() / 1000, now >> 20, player.Pictures());
    }
    return peak;
}

int measureMemory(bool throughRelay, int seconds)
{
    MediaFolder media;
    HostileHlsServer server({liveFolder(media, u"endless"_qs), u"--endless"_qs, media.clip()});
    relay::StreamRelay relay;
    if (!relay.Start())
        return 1;
    const auto route = relay.Open(server.playlistUrl());
    const Vlc vlc = NewVlc();
    auto* player =
        new MemoryPlayer(vlc.get(), throughRelay ? route->LocalUrl() : server.playlistUrl());
    player->Play();
    std::printf("endless segment, %s, %d s\n", throughRelay ? "through the relay" : "direct",
                seconds);
    const qint64 before = ResidentBytes();
    const qint64 peak = watchResident(*player, seconds, before);
    std::printf("peak resident %lld MB (%lld MB before playing); endless segment requested %d "
                "times\n",
                peak >> 20, before >> 20, countOf(server.requests(), u"endless.ts"_qs));
    if (throughRelay)
        route->Cancel();
    const auto took = player->Stop(3s);
    if (took) {
        std::printf("stop took %.0f ms\n", Ms(*took).count());
        delete player;
    } else {
        std::printf("stop had not returned after 3 s\n"); // the player is left to its thread
    }
    return 0;
}

// The segment lines that libvlc's URL parser reads as a host and port and a strict one does not,
// each followed by a plain one, for `segment` on the server of PORT; live, so that libvlc goes on.
// With `plainTail`, three plain lines end it: libvlc starts a live playlist three segments
// before its end.
QByteArray formsPlaylist(const QByteArray& segment, bool plainTail)
{
    QByteArray text = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXT-X-MEDIA-SEQUENCE:0\n";
    int n = 0;
    for (const char* odd :
         {"\\x", "|x", "^x", "{x}", "\"x", "<x>", "`x", " x", "%00", "%2f", ":PORT", "+"}) {
        const QByteArray after(odd);
        const QByteArray authority =
            after == "+" ? QByteArray("127.0.0.1:+PORT") : "127.0.0.1:PORT" + after;
        text += "#EXTINF:1.0,\nhttp://" + authority + '/' + segment + '?' + QByteArray::number(n) +
                "\n#EXTINF:1.0,\n" + segment + '?' + QByteArray::number(n + 1) + '\n';
        n += 2;
    }
    for (int i = 0; plainTail && i < 3; ++i)
        text += "#EXTINF:1.0,\n" + segment + '?' + QByteArray::number(n++) + '\n';
    return text;
}

QString writeListing(MediaFolder& media, const QByteArray& segment, bool plainTail)
{
    const QString path = media.path(u"forms.m3u8"_qs);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(formsPlaylist(segment, plainTail));
    return path;
}

int threadCount()
{
    QFile status(u"/proc/self/status"_qs);
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("Threads:"))
            return line.mid(8).trimmed().toInt();
    return -1;
}

void printRequests(HostileHlsServer& server)
{
    bool allRelayed = false;
    const QStringList paths = server.requests(&allRelayed);
    int direct = 0;
    for (const QString& line : server.lines())
        direct += line.startsWith(u"REQUEST ") && line.endsWith(u"via=0") ? 1 : 0;
    std::printf("requests: %lld, %d of them straight to the server\n", qint64(paths.size()),
                direct);
}

int measureForms(bool throughRelay, int seconds)
{
    MediaFolder media;
    const QString listing = writeListing(media, "endless.ts", false);
    HostileHlsServer server(
        {liveFolder(media, u"forms"_qs), u"--endless"_qs, media.clip(), u"--listing"_qs, listing});
    relay::StreamRelay relay;
    if (!relay.Start())
        return 1;
    const auto route = relay.Open(server.playlistUrl());
    const Vlc vlc = NewVlc();
    auto* player =
        new MemoryPlayer(vlc.get(), throughRelay ? route->LocalUrl() : server.playlistUrl());
    player->Play();
    std::printf("odd URI forms before an endless segment, %s, %d s\n",
                throughRelay ? "through the relay" : "handed to libvlc as they are", seconds);
    const qint64 before = ResidentBytes();
    const qint64 peak = watchResident(*player, seconds, before);
    std::printf("peak resident %lld MB (%lld MB before playing)\n", peak >> 20, before >> 20);
    printRequests(server);
    if (throughRelay)
        route->Cancel();
    if (player->Stop(3s))
        delete player;
    else
        std::printf("stop had not returned after 3 s\n"); // the player is left to its thread
    return 0;
}

int measureThreads(bool throughRelay, int seconds)
{
    MediaFolder media;
    const QString folder = liveFolder(media, u"frozen"_qs);
    QFile::copy(media.clip(u"640x360"_qs), folder + u"/clip.ts"_qs);
    const QString listing = writeListing(media, "clip.ts", true);
    HostileHlsServer server({folder, u"--listing"_qs, listing, u"--stall-after"_qs, u"130000"_qs});
    relay::StreamRelay relay;
    if (!relay.Start())
        return 1;
    const Vlc vlc = NewVlc();
    std::printf("a player every 5 s on segments that stop after 130 kB, %s, %d s\n",
                throughRelay ? "through the relay" : "handed to libvlc as they are", seconds);
    const int before = threadCount();
    int peak = before;
    const Clock::time_point start = Clock::now();
    std::shared_ptr<relay::Route> route;
    MemoryPlayer* player = nullptr;
    int opened = 0;
    for (int tick = 0; tick < seconds; ++tick) {
        if (tick % 5 == 0) {
            // Let go as the program does: cut the route, stop on a thread, never wait for it.
            if (player != nullptr) {
                if (route)
                    route->Cancel();
                std::thread([player] { player->Stop(std::chrono::hours(1)); }).detach();
            }
            route = relay.Open(server.playlistUrl());
            player = new MemoryPlayer(vlc.get(),
                                      throughRelay ? route->LocalUrl() : server.playlistUrl());
            player->Play();
            ++opened;
        }
        QThread::msleep(1000);
        const int now = threadCount();
        peak = std::max(peak, now);
        if ((tick + 1) % 10 == 0)
            std::printf("  %5.1f s  threads %d  (%d players opened)\n",
                        Ms(Clock::now() - start).count() / 1000, now, opened);
    }
    std::printf("threads %d before, %d at the end, %d at most\n", before, threadCount(), peak);
    printRequests(server);
    return 0;
}

enum class Way
{
    Direct,
    Relay,
    RelayAndCancel
};

// Plays a live stream, slows the server below the bitrate, freezes it mid-segment, and times
// the stop. Empty when stop did not return within `limit`.
std::optional<double> frozenStop(const QString& folder, Way way, Ms limit)
{
    HostileHlsServer server({folder});
    relay::StreamRelay relay;
    if (!relay.Start())
        return std::nullopt;
    const auto route = relay.Open(server.playlistUrl());
    const Vlc vlc = NewVlc();
    auto* player =
        new MemoryPlayer(vlc.get(), way == Way::Direct ? server.playlistUrl() : route->LocalUrl());
    player->Play();
    if (!WaitUntil([player] { return player->Pictures() >= 25; }, 30s))
        std::printf("  (no pictures)\n");
    server.drip(20000);
    const int before = countOf(server.requests(), u".ts"_qs);
    WaitUntil([&] { return countOf(server.requests(), u".ts"_qs) > before; }, 20s);
    server.freeze();
    server.waitForLine([](const QString& line) { return line.startsWith(u"HELD "); }, 20s);
    const Clock::time_point start = Clock::now();
    if (way == Way::RelayAndCancel)
        route->Cancel();
    const auto took = player->Stop(std::chrono::duration_cast<std::chrono::milliseconds>(limit));
    const double ms = Ms(Clock::now() - start).count();
    if (!took)
        return std::nullopt; // the player is left to its stuck thread
    delete player;
    return ms;
}

QString shown(const std::optional<double>& ms, const char* limit)
{
    return ms ? QString::number(*ms, 'f', 1) + u" ms"_qs
              : u"had not returned after "_qs + QLatin1String(limit);
}

int measureStop(int runs)
{
    MediaFolder media;
    const QString folder = liveFolder(media, u"live"_qs);
    const LiveHls live(media.clip(u"640x360"_qs), folder);
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        const auto ms = frozenStop(folder, Way::RelayAndCancel, 10s);
        std::printf("through the relay, after Cancel: stop %s\n", qPrintable(shown(ms, "10 s")));
        if (ms)
            times.push_back(*ms);
    }
    std::printf("median %.1f ms, worst %.1f ms over %zu runs\n", percentile(times, 0.5),
                percentile(times, 1.0), times.size());
    std::printf("through the relay, without Cancel: stop %s\n",
                qPrintable(shown(frozenStop(folder, Way::Relay, 20s), "20 s")));
    std::printf("direct: stop %s\n",
                qPrintable(shown(frozenStop(folder, Way::Direct, 15s), "15 s")));
    return 0;
}

int measureLatency(int runs)
{
    MediaFolder media;
    const QString folder = liveFolder(media, u"live"_qs);
    const LiveHls live(media.clip(u"640x360"_qs), folder);
    HostileHlsServer server({folder});
    relay::StreamRelay relay;
    if (!relay.Start())
        return 1;
    const auto route = relay.Open(server.playlistUrl());
    // A segment that stays listed for the whole run: ffmpeg deletes old ones.
    QFile::copy(folder + u"/seg00000.ts"_qs, folder + u"/kept.ts"_qs);
    const qint64 size = QFileInfo(folder + u"/kept.ts"_qs).size();
    const QString direct = server.url(u"/kept.ts"_qs);
    const QString relayed = RelayUrlOf(route->LocalUrl(), relay::Kind::Media, direct);

    std::vector<double> straight;
    std::vector<double> through;
    for (int run = 0; run < runs; ++run) {
        for (const bool viaRelay : {false, true}) {
            const Clock::time_point start = Clock::now();
            const HttpReply reply = Fetch(viaRelay ? relayed : direct);
            const double ms = Ms(Clock::now() - start).count();
            if (reply.status != 200 || reply.body.size() != size)
                std::printf("  run %d: status %d, %lld bytes\n", run, reply.status,
                            qint64(reply.body.size()));
            (viaRelay ? through : straight).push_back(ms);
        }
    }
    std::printf("one live segment (%lld kB), %d fetches each, loopback:\n", size / 1000, runs);
    std::printf("  direct          median %.2f ms  p90 %.2f ms\n", percentile(straight, 0.5),
                percentile(straight, 0.9));
    std::printf("  through relay   median %.2f ms  p90 %.2f ms\n", percentile(through, 0.5),
                percentile(through, 0.9));

    const Vlc vlc = NewVlc();
    std::vector<double> firstDirect;
    std::vector<double> firstRelayed;
    for (int run = 0; run < std::max(3, runs / 10); ++run) {
        for (const bool viaRelay : {false, true}) {
            MemoryPlayer player(vlc.get(), viaRelay ? route->LocalUrl() : server.playlistUrl());
            const Clock::time_point start = Clock::now();
            player.Play();
            WaitUntil([&player] { return player.Pictures() > 0; }, 20s);
            (viaRelay ? firstRelayed : firstDirect).push_back(Ms(Clock::now() - start).count());
            player.Stop(10s);
        }
    }
    std::printf("play to first picture, %zu players each:\n", firstDirect.size());
    std::printf("  direct          median %.0f ms\n", percentile(firstDirect, 0.5));
    std::printf("  through relay   median %.0f ms\n", percentile(firstRelayed, 0.5));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (!insideTestNetwork()) {
        std::fputs("Run this inside the private test network: scripts/in-netns.sh ...\n", stderr);
        return 2;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const QStringList args = app.arguments().mid(1);
    const QString what = args.value(0);
    int result = 2;
    if (what == u"memory" && args.size() >= 2)
        result = measureMemory(args[1] == u"relay", args.value(2, u"60"_qs).toInt());
    else if (what == u"stop")
        result = measureStop(args.value(1, u"5"_qs).toInt());
    else if (what == u"latency")
        result = measureLatency(args.value(1, u"50"_qs).toInt());
    else if (what == u"forms" && args.size() >= 2)
        result = measureForms(args[1] == u"relay", args.value(2, u"30"_qs).toInt());
    else if (what == u"threads" && args.size() >= 2)
        result = measureThreads(args[1] == u"relay", args.value(2, u"120"_qs).toInt());
    else
        std::fputs("usage: relay_measure memory relay|direct [seconds] | stop [runs] | latency "
                   "[runs] | forms relay|direct [seconds] | threads relay|direct [seconds]\n",
                   stderr);
    // A player whose stop never returned still has libvlc's threads running: leave without
    // tearing libvlc down under them. The servers and ffmpeg are gone by now.
    std::fflush(stdout);
    std::_Exit(result);
}
