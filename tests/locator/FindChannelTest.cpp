// The whole lookup: without windows, as the channel window runs it on a worker thread, and with
// the message box the program shows for a failure.
#include "ChannelListFiles.h"
#include "ChannelLocator.h"
#include "ChannelLookup.h"
#include "HttpServer.h"
#include "Listeners.h"
#include "ModalWatcher.h"

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

// Channel 5's URL in a list as storage servers write it, replaced by `address`.
QByteArray listNaming(const QByteArray& address)
{
    QByteArray list = StorageChannelList("http://a", 1, 6);
    const QByteArray before = "\"source\":\"udp://224.1.1.5:1234\",\r\n\"url\":\"";
    const qsizetype start = list.indexOf(before) + before.size();
    return list.replace(start, list.indexOf("\"\r\n}", start) - start, address);
}

struct FindCase
{
    const char* name;
    QStringList mode;                     // the server's mode; empty: nothing listens on the port
    QByteArray body;                      // served as the body, when the mode takes a file
    std::optional<LocateFailure> failure; // none: an address is found
    const char16_t* message;              // the box the program shows for the failure
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

TEST_P(FindChannel, ReportsTheOutcomeItsAccountAndOneMessage)
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
    locator::StorageServers servers = serversAt(port);
    servers.limits.stallTimeout = std::chrono::seconds(1); // the program's is ten
    // On a thread of its own, as the channel window runs it.
    locator::LocateResult result = std::async(std::launch::async, [&] {
                                       return locator::FindChannel(5, false, servers);
                                   }).get();
    const qint64 lookupMs = clock.elapsed();
    EXPECT_LT(lookupMs, 5000) << "within the limits given";
    EXPECT_EQ(int(QApplication::topLevelWidgets().size()), windowsBefore) << "no window shown";

    EXPECT_EQ(result.server, QByteArray("127.0.0.1"));
    // The probe was made, and its time is in milliseconds, within the lookup's own.
    EXPECT_GE(result.probeMs, 0);
    EXPECT_LE(result.probeMs, lookupMs);
    EXPECT_EQ(result.probeSucceeded, c.failure != LocateFailure::Unreachable);
    EXPECT_EQ(result.listBytes,
              c.failure == LocateFailure::Unreachable || c.failure == LocateFailure::ListUnreadable
                  ? -1
                  : c.body.size());
    EXPECT_EQ(result.fetchError.isEmpty(), c.failure != LocateFailure::ListUnreadable);
    if (c.failure) {
        EXPECT_FALSE(result.address);
        EXPECT_EQ(int(result.failure), int(*c.failure));
    } else {
        EXPECT_EQ(result.address, u"http://a/hls/频道5/index.m3u8"_qs);
    }

    QWidget owner;
    ModalWatcher watcher;
    EXPECT_EQ(locator::LocateChannel(5, false, &owner, servers), result.address);
    QStringList messages;
    for (const auto& seen : watcher.seen()) {
        EXPECT_EQ(seen.title, u"提示"_qs);
        EXPECT_EQ(seen.owner, &owner);
        EXPECT_FALSE(seen.hasIcon);
        EXPECT_EQ(seen.buttonCount, 1);
        messages << seen.text;
    }
    EXPECT_EQ(messages, c.message ? QStringList{QString::fromUtf16(c.message)} : QStringList());
}

const char16_t* const kUnreachable = u"服务器网络不通，请与管理员联系！";
const char16_t* const kReadError = u"读取频道列表出错，请与管理员联系！";
const char16_t* const kParseError = u"解析播放地址出错，请与管理员联系！";

INSTANTIATE_TEST_SUITE_P(
    Servers, FindChannel,
    ::testing::Values(
        FindCase{"found", {u"serve"_qs}, StorageChannelList("http://a", 1, 6), {}, nullptr},
        FindCase{"refused", {}, {}, LocateFailure::Unreachable, kUnreachable},
        FindCase{"closes_at_once", {u"close"_qs}, {}, LocateFailure::ListUnreadable, kReadError},
        FindCase{"reset_mid_body",
                 {u"reset"_qs, u"3000"_qs},
                 StorageChannelList("http://a", 1, 6),
                 LocateFailure::ListUnreadable,
                 kReadError},
        FindCase{"stalled_mid_body",
                 {u"stall"_qs, u"100"_qs},
                 StorageChannelList("http://a", 1, 6),
                 LocateFailure::ListUnreadable,
                 kReadError},
        FindCase{"accepts_but_never_answers",
                 {u"silent"_qs},
                 {},
                 LocateFailure::ListUnreadable,
                 kReadError},
        FindCase{"channel_not_listed",
                 {u"serve"_qs},
                 StorageChannelList("http://a", 1, 4),
                 LocateFailure::NoAddress,
                 kParseError},
        FindCase{"error_page",
                 {u"status"_qs, u"500"_qs},
                 "<html>Internal Server Error</html>",
                 LocateFailure::NoAddress,
                 kParseError},
        // The text ends at the first NUL, as it always has: what follows is not read.
        FindCase{"nul_before_the_record",
                 {u"serve"_qs},
                 "[\0"_qba + StorageChannelList("http://a", 1, 6),
                 LocateFailure::NoAddress,
                 kParseError},
        FindCase{"address_of_4097_bytes",
                 {u"serve"_qs},
                 listNaming("http://a/" + QByteArray(4088, 'a')),
                 LocateFailure::NoAddress,
                 kParseError},
        FindCase{"address_with_a_tab",
                 {u"serve"_qs},
                 listNaming("http://a/hls/ch5\t/index.m3u8"),
                 LocateFailure::NoAddress,
                 kParseError}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FindChannelModes, MulticastAsksNoServer)
{
    HttpServer server(
        {u"serve"_qs, TempFiles().put("l.json", StorageChannelList("http://a", 1, 8))});
    for (int channel = 1; channel <= 8; ++channel) {
        const locator::LocateResult result =
            locator::FindChannel(channel, true, serversAt(server.port()));
        EXPECT_EQ(result.address, QStringLiteral("udp://@224.1.1.%1:1234").arg(channel));
        EXPECT_TRUE(result.server.isEmpty());
        EXPECT_EQ(result.probeMs, -1);
        EXPECT_EQ(result.listBytes, -1);
    }
    EXPECT_TRUE(server.requests().isEmpty());
}

// Each server lists its own channels, every lookup fetches the list again, and lookups on many
// threads at once each get their own answer.
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

TEST(FindChannelModes, BuiltInServersInsideTheTestNetwork)
{
    // The built-in addresses are only ever reached inside the private test network.
    if (!IsLocalAddress("192.168.10.11") || !IsLocalAddress("192.168.10.12"))
        GTEST_SKIP() << "not inside the test network namespace";
    TempFiles files;
    HttpServer low({u"serve"_qs, files.put("a.json", StorageChannelList("http://a", 1, 6)),
                    u"--bind"_qs, u"192.168.10.11"_qs, u"80"_qs});
    HttpServer high({u"serve"_qs, files.put("b.json", StorageChannelList("http://b", 7, 8)),
                     u"--bind"_qs, u"192.168.10.12"_qs, u"80"_qs});
    EXPECT_EQ(locator::FindChannel(1, false).address, u"http://a/hls/频道1/index.m3u8"_qs);
    EXPECT_EQ(locator::FindChannel(8, false).address, u"http://b/hls/频道8/index.m3u8"_qs);
}

} // namespace
