#include "ChannelListFiles.h"
#include "ChannelLocator.h"
#include "HttpServer.h"
#include "Listeners.h"
#include "ModalWatcher.h"

#include <QElapsedTimer>
#include <QWidget>
#include <gtest/gtest.h>

namespace {

const QString kUnreachable = u"服务器网络不通，请与管理员联系！"_qs;
const QString kReadError = u"读取频道列表出错，请与管理员联系！"_qs;
const QString kParseError = u"解析播放地址出错，请与管理员联系！"_qs;

class LocateChannel : public ::testing::Test
{
protected:
    // Runs one lookup and checks that at most one correct message box was shown.
    std::optional<QString> locate(int channel, bool multicast,
                                  const locator::StorageServers& servers)
    {
        ModalWatcher watcher;
        QElapsedTimer clock;
        clock.start();
        std::optional<QString> address =
            locator::LocateChannel(channel, multicast, &m_owner, servers);
        m_elapsedMs = clock.elapsed();
        m_messages.clear();
        for (const auto& seen : watcher.seen()) {
            EXPECT_EQ(seen.title, u"提示"_qs);
            EXPECT_EQ(seen.owner, &m_owner);
            EXPECT_FALSE(seen.hasIcon);
            EXPECT_EQ(seen.buttonCount, 1);
            m_messages << seen.text;
        }
        EXPECT_EQ(address.has_value(), m_messages.isEmpty()) << "exactly one message per failure";
        return address;
    }

    static locator::StorageServers serversAt(quint16 port)
    {
        locator::StorageServers servers;
        servers.forChannels1to6 = "127.0.0.1";
        servers.forChannels7and8 = "127.0.0.2";
        servers.port = port;
        return servers;
    }

    QWidget m_owner;
    QStringList m_messages;
    qint64 m_elapsedMs = 0;
    TempFiles m_files;
};

TEST_F(LocateChannel, MulticastModeTouchesNoNetwork)
{
    HttpServer server({u"serve"_qs, m_files.put("l.json", StorageChannelList("http://x", 1, 8))});
    for (int channel = 1; channel <= 8; ++channel)
        EXPECT_EQ(locate(channel, true, serversAt(server.port())),
                  QStringLiteral("udp://@224.1.1.%1:1234").arg(channel));
    EXPECT_TRUE(server.requests().isEmpty());
}

TEST_F(LocateChannel, EachServerListsItsOwnChannelsAndEveryClickFetchesAgain)
{
    HttpServer low({u"serve"_qs, m_files.put("a.json", StorageChannelList("http://a", 1, 6)),
                    u"--bind"_qs, u"127.0.0.1"_qs, u"0"_qs});
    HttpServer high({u"serve"_qs, m_files.put("b.json", StorageChannelList("http://b", 7, 8)),
                     u"--bind"_qs, u"127.0.0.2"_qs, QString::number(low.port())});
    const locator::StorageServers servers = serversAt(low.port());

    EXPECT_EQ(locate(3, false, servers), u"http://a/hls/频道3/index.m3u8"_qs);
    EXPECT_EQ(locate(3, false, servers), u"http://a/hls/频道3/index.m3u8"_qs);
    EXPECT_EQ(locate(6, false, servers), u"http://a/hls/频道6/index.m3u8"_qs);
    EXPECT_EQ(locate(7, false, servers), u"http://b/hls/频道7/index.m3u8"_qs);
    EXPECT_EQ(locate(8, false, servers), u"http://b/hls/频道8/index.m3u8"_qs);
    EXPECT_EQ(low.requests().size(), 3);
    EXPECT_EQ(high.requests().size(), 2);
}

TEST_F(LocateChannel, RefusingServerIsUnreachableAtOnce)
{
    EXPECT_FALSE(locate(1, false, serversAt(ClosedPort())));
    EXPECT_EQ(m_messages, QStringList{kUnreachable});
    EXPECT_LT(m_elapsedMs, 1000);
}

TEST_F(LocateChannel, SilentServerIsUnreachableAfterTwoSecondsWithoutARequest)
{
    UnansweredPort silent;
    HttpServer other({u"serve"_qs, m_files.put("b.json", StorageChannelList("http://b", 7, 8)),
                      u"--bind"_qs, u"127.0.0.2"_qs, QString::number(silent.port())});
    EXPECT_FALSE(locate(2, false, serversAt(silent.port())));
    EXPECT_EQ(m_messages, QStringList{kUnreachable});
    EXPECT_GE(m_elapsedMs, 1990);
    EXPECT_LT(m_elapsedMs, 2500);
    EXPECT_TRUE(other.requests().isEmpty()) << "channel 2 belongs to the first server only";
}

struct FailureCase
{
    const char* name;
    QStringList mode;
    QByteArray body; // served as the response's body; empty: the mode takes no file
    const QString* message;
    qint64 atMostMs;
};

void PrintTo(const FailureCase& c, std::ostream* os)
{
    *os << c.name;
}

class LocateFailure : public LocateChannel, public ::testing::WithParamInterface<FailureCase>
{};

TEST_P(LocateFailure, ShowsItsMessageWithinTheBound)
{
    const FailureCase& c = GetParam();
    QStringList mode = c.mode;
    if (!c.body.isEmpty())
        mode << m_files.put("body", c.body);
    HttpServer server(mode);
    locator::StorageServers servers = serversAt(server.port());
    servers.limits.stallTimeout = std::chrono::seconds(1); // the program's is ten
    EXPECT_FALSE(locate(5, false, servers));
    EXPECT_EQ(m_messages, QStringList{*c.message});
    EXPECT_LE(m_elapsedMs, c.atMostMs);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, LocateFailure,
    ::testing::Values(FailureCase{"not_found_page",
                                  {u"status"_qs, u"404"_qs},
                                  "<html><h1>404 Not Found</h1></html>",
                                  &kParseError,
                                  2000},
                      FailureCase{"reset_mid_body",
                                  {u"reset"_qs, u"3000"_qs},
                                  StorageChannelList("http://a", 1, 6),
                                  &kReadError,
                                  2000},
                      FailureCase{"stalled",
                                  {u"stall"_qs, u"100"_qs},
                                  StorageChannelList("http://a", 1, 6),
                                  &kReadError,
                                  2500},
                      FailureCase{"endless", {u"endless"_qs}, {}, &kReadError, 12000},
                      FailureCase{"closes_at_once", {u"close"_qs}, {}, &kReadError, 2000},
                      FailureCase{"channel_not_listed",
                                  {u"serve"_qs},
                                  StorageChannelList("http://a", 1, 4),
                                  &kParseError,
                                  2000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LocateChannel, BuiltInServersInsideTheTestNetwork)
{
    // The built-in addresses are only ever reached inside the private test network.
    if (!IsLocalAddress("192.168.10.11") || !IsLocalAddress("192.168.10.12"))
        GTEST_SKIP() << "not inside the test network namespace";
    HttpServer low({u"serve"_qs, m_files.put("a.json", StorageChannelList("http://a", 1, 6)),
                    u"--bind"_qs, u"192.168.10.11"_qs, u"80"_qs});
    HttpServer high({u"serve"_qs, m_files.put("b.json", StorageChannelList("http://b", 7, 8)),
                     u"--bind"_qs, u"192.168.10.12"_qs, u"80"_qs});
    EXPECT_EQ(locate(1, false, {}), u"http://a/hls/频道1/index.m3u8"_qs);
    EXPECT_EQ(locate(8, false, {}), u"http://b/hls/频道8/index.m3u8"_qs);
}

} // namespace
