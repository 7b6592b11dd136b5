// The lookup without windows, as the channel window will run it on a worker thread.
#include "ChannelListFiles.h"
#include "ChannelLookup.h"
#include "HttpServer.h"
#include "Listeners.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QWidget>
#include <future>
#include <gtest/gtest.h>
#include <thread>

namespace {

using locator::LocateFailure;

locator::StorageServers serversAt(quint16 port)
{
    locator::StorageServers servers;
    servers.forChannels1to6 = "127.0.0.1";
    servers.forChannels7and8 = "127.0.0.2";
    servers.port = port;
    return servers;
}

// Runs the lookup on a thread of its own, as the channel window will.
locator::LocateResult findOnAWorker(int channel, bool multicast,
                                    const locator::StorageServers& servers)
{
    std::packaged_task<locator::LocateResult()> task(
        [&] { return locator::FindChannel(channel, multicast, servers); });
    std::future<locator::LocateResult> result = task.get_future();
    std::thread worker(std::move(task));
    worker.join();
    return result.get();
}

struct FindCase
{
    const char* name;
    QStringList mode;                     // the server's mode; empty: nothing listens on the port
    QByteArray body;                      // served as the body, when the mode takes a file
    std::optional<LocateFailure> failure; // none: an address is found
};

void PrintTo(const FindCase& c, std::ostream* os)
{
    *os << c.name;
}

class FindChannel : public ::testing::TestWithParam<FindCase>
{
protected:
    TempFiles m_files;
};

TEST_P(FindChannel, ReportsTheOutcomeAndItsAccount)
{
    const FindCase& c = GetParam();
    std::unique_ptr<HttpServer> server;
    quint16 port = ClosedPort();
    if (!c.mode.isEmpty()) {
        QStringList mode = c.mode;
        if (!c.body.isEmpty())
            mode << m_files.put("body", c.body);
        server = std::make_unique<HttpServer>(mode);
        port = server->port();
    }
    const int windowsBefore = int(QApplication::topLevelWidgets().size());
    QElapsedTimer clock;
    clock.start();
    const locator::LocateResult result = findOnAWorker(5, false, serversAt(port));
    const qint64 lookupMs = clock.elapsed();
    EXPECT_EQ(int(QApplication::topLevelWidgets().size()), windowsBefore) << "no window shown";

    EXPECT_EQ(result.server, QByteArray("127.0.0.1"));
    // The probe was made, and its time is in milliseconds, within the lookup's own.
    EXPECT_GE(result.probeMs, 0);
    EXPECT_LE(result.probeMs, lookupMs);
    if (!c.failure) {
        EXPECT_EQ(result.address, u"http://a/hls/频道5/index.m3u8"_qs);
        EXPECT_TRUE(result.probeSucceeded);
        EXPECT_EQ(result.listBytes, c.body.size());
        return;
    }
    EXPECT_FALSE(result.address);
    EXPECT_EQ(int(result.failure), int(*c.failure));
    EXPECT_EQ(result.probeSucceeded, *c.failure != LocateFailure::Unreachable);
    switch (*c.failure) {
    case LocateFailure::Unreachable:
    case LocateFailure::ListUnreadable:
        EXPECT_EQ(result.listBytes, -1);
        EXPECT_EQ(result.fetchError.isEmpty(), *c.failure == LocateFailure::Unreachable);
        break;
    case LocateFailure::NoAddress:
        EXPECT_EQ(result.listBytes, c.body.size());
        EXPECT_TRUE(result.fetchError.isEmpty());
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Servers, FindChannel,
    ::testing::Values(
        FindCase{"found", {u"serve"_qs}, StorageChannelList("http://a", 1, 6), std::nullopt},
        FindCase{"refused", {}, {}, LocateFailure::Unreachable},
        FindCase{"closes_at_once", {u"close"_qs}, {}, LocateFailure::ListUnreadable},
        FindCase{"reset_mid_body",
                 {u"reset"_qs, u"3000"_qs},
                 StorageChannelList("http://a", 1, 6),
                 LocateFailure::ListUnreadable},
        FindCase{"channel_not_listed",
                 {u"serve"_qs},
                 StorageChannelList("http://a", 1, 4),
                 LocateFailure::NoAddress},
        FindCase{"error_page",
                 {u"status"_qs, u"500"_qs},
                 "<html>Internal Server Error</html>",
                 LocateFailure::NoAddress}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FindChannelModes, MulticastAsksNoServer)
{
    HttpServer server(
        {u"serve"_qs, TempFiles().put("l.json", StorageChannelList("http://a", 1, 8))});
    for (int channel = 1; channel <= 8; ++channel) {
        const locator::LocateResult result = findOnAWorker(channel, true, serversAt(server.port()));
        EXPECT_EQ(result.address, QStringLiteral("udp://@224.1.1.%1:1234").arg(channel));
        EXPECT_TRUE(result.server.isEmpty());
        EXPECT_EQ(result.probeMs, -1);
        EXPECT_EQ(result.listBytes, -1);
    }
    EXPECT_TRUE(server.requests().isEmpty());
}

TEST(FindChannelModes, ManyWorkersAtOnceEachGetTheirOwnAnswer)
{
    TempFiles files;
    HttpServer low({u"serve"_qs, files.put("a.json", StorageChannelList("http://a", 1, 6)),
                    u"--bind"_qs, u"127.0.0.1"_qs, u"0"_qs});
    HttpServer high({u"serve"_qs, files.put("b.json", StorageChannelList("http://b", 7, 8)),
                     u"--bind"_qs, u"127.0.0.2"_qs, QString::number(low.port())});
    const locator::StorageServers servers = serversAt(low.port());
    std::vector<std::future<locator::LocateResult>> results;
    results.reserve(16);
    for (int i = 0; i < 16; ++i)
        results.push_back(std::async(std::launch::async, [&servers, i] {
            return locator::FindChannel(i % 8 + 1, false, servers);
        }));
    for (int i = 0; i < 16; ++i) {
        const int channel = i % 8 + 1;
        const QString host = channel > 6 ? u"http://b"_qs : u"http://a"_qs;
        EXPECT_EQ(results[i].get().address,
                  host + QStringLiteral("/hls/频道%1/index.m3u8").arg(channel))
            << "lookup " << i;
    }
    EXPECT_EQ(low.requests().size(), 12);
    EXPECT_EQ(high.requests().size(), 4);
}

} // namespace
