#include "ChannelListFiles.h"
#include "ChannelLocator.h"
#include "HttpServer.h"
#include "ModalWatcher.h"

#include <QElapsedTimer>
#include <QWidget>
#include <gtest/gtest.h>
#include <sys/resource.h>

namespace {

long peakResidentKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

class HostileServer : public ::testing::Test
{
protected:
    std::optional<QString> locate(int channel, quint16 port, locator::FetchLimits limits = {})
    {
        locator::StorageServers servers;
        servers.limits = limits;
        servers.forChannels1to6 = "127.0.0.1";
        servers.port = port;
        ModalWatcher watcher;
        QElapsedTimer clock;
        clock.start();
        std::optional<QString> address = locator::LocateChannel(channel, false, &m_owner, servers);
        m_elapsedMs = clock.elapsed();
        m_messages.clear();
        for (const auto& seen : watcher.seen())
            m_messages << seen.text;
        return address;
    }

    QWidget m_owner;
    QStringList m_messages;
    qint64 m_elapsedMs = 0;
    TempFiles m_files;
};

TEST_F(HostileServer, HundredMegabyteListIsRefusedWithBoundedMemory)
{
    QByteArray list = StorageChannelList("http://a", 1, 6);
    list += QByteArray(100 * 1024 * 1024 - list.size(), ' ');
    HttpServer server({u"serve"_qs, m_files.put("huge.json", list)});
    list.clear();
    list.squeeze();
    const long before = peakResidentKb();
    EXPECT_FALSE(locate(2, server.port()));
    EXPECT_EQ(m_messages, QStringList{u"读取频道列表出错，请与管理员联系！"_qs});
    EXPECT_LT(peakResidentKb() - before, 64 * 1024) << "the download stops at its size bound";
}

TEST_F(HostileServer, InvalidUtf8AndNulBytesEndInAResultOrTheParseMessage)
{
    const QByteArray list =
        "\xFF\xFE\xC3(\xE2\x82 [{\"udp://224.1.1.2:1234\",\"http://h/\xE9\xA2\x91\xFF\"\n}"
        "\0{\"udp://224.1.1.3:1234\",\"http://h/3\"\n}]"_qba;
    HttpServer server({u"serve"_qs, m_files.put("bad.json", list)});
    EXPECT_EQ(locate(2, server.port()), u"http://h/频\uFFFD"_qs);
    EXPECT_TRUE(m_messages.isEmpty());
    // The text ends at the first NUL, as it always has: what follows is not read.
    EXPECT_FALSE(locate(3, server.port()));
    EXPECT_EQ(m_messages, QStringList{u"解析播放地址出错，请与管理员联系！"_qs});
}

TEST_F(HostileServer, KeyRepeatedAHundredThousandTimesTakesTheFirst)
{
    QByteArray list = "{\"udp://224.1.1.4:1234\",\"http://h/first\"\n}";
    list += QByteArray("{\"udp://224.1.1.4:1234\",\"http://h/later\"\n}").repeated(100000);
    HttpServer server({u"serve"_qs, m_files.put("repeat.json", list)});
    EXPECT_EQ(locate(4, server.port()), u"http://h/first"_qs);
    EXPECT_LT(m_elapsedMs, 3000);
}

TEST_F(HostileServer, ServerThatAcceptsButNeverAnswersIsAReadErrorAfterTheStallLimit)
{
    // The program waits ten seconds; the test, one.
    EXPECT_EQ(locator::FetchLimits{}.stallTimeout, std::chrono::seconds(10));
    locator::FetchLimits limits;
    limits.stallTimeout = std::chrono::seconds(1);
    HttpServer server({u"silent"_qs});
    EXPECT_FALSE(locate(1, server.port(), limits));
    EXPECT_EQ(m_messages, QStringList{u"读取频道列表出错，请与管理员联系！"_qs});
    EXPECT_GE(m_elapsedMs, 990);
    EXPECT_LT(m_elapsedMs, 2500);
}

} // namespace
