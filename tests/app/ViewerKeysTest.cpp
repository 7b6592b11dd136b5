#include "ChannelDlg.h"
#include "ChannelLocator.h"
#include "HttpServer.h"
#include "ImageButton.h"
#include "ModalWatcher.h"
#include "PlayerDlg.h"
#include "SiteFolder.h"
#include "VideoSurface.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <array>
#include <gtest/gtest.h>
#include <vlc/vlc.h>

using namespace std::chrono_literals;

namespace {

QByteArray mrlOf(libvlc_media_player_t* player)
{
    libvlc_media_t* media = libvlc_media_player_get_media(player);
    char* mrl = libvlc_media_get_mrl(media);
    QByteArray result(mrl);
    libvlc_free(mrl);
    libvlc_media_release(media);
    return result;
}

// A channel window in a site folder of its own, in multicast mode unless told otherwise.
class Viewer : public SiteFolderTest
{
protected:
    // Runs `inside` in the next player window to open, then closes it with Escape.
    [[nodiscard]] static std::unique_ptr<QTimer> inPlayer(std::function<void(CPlayerDlg*)> inside)
    {
        return WhenModalOpens<CPlayerDlg>(std::move(inside));
    }
};

TEST_F(Viewer, DigitKeysOpenChannelsLikeClicks)
{
    settings("[Default]\nMutiMode=1\n");
    CChannelDlg dialog;
    dialog.OnInitDialog();
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    for (int channel : {4, 8, 1}) {
        QString title;
        const auto watch = inPlayer([&](CPlayerDlg* player) { title = player->windowTitle(); });
        QTest::keyClick(&dialog, Qt::Key(Qt::Key_0 + channel));
        EXPECT_EQ(title, QStringLiteral(" - udp://@224.1.1.%1:1234").arg(channel));
    }
    bool opened = false;
    const auto watch = inPlayer([&](CPlayerDlg*) { opened = true; });
    QTest::keyClick(&dialog, Qt::Key_9);
    QTest::keyClick(&dialog, Qt::Key_0);
    QTest::qWait(50);
    EXPECT_FALSE(opened);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "the busy cursor is gone afterwards";
}

TEST_F(Viewer, PlayerStepsThroughChannelsInTheSameWindow)
{
    settings("[Default]\nMutiMode=1\n");
    CChannelDlg dialog;
    dialog.OnInitDialog();
    dialog.show();
    QStringList titles;
    QList<QByteArray> mrls;
    CPlayerDlg* seen = nullptr;
    const auto watch = inPlayer([&](CPlayerDlg* player) {
        seen = player;
        const auto note = [&] {
            titles << player->windowTitle();
            mrls << mrlOf(player->Player());
        };
        QTest::keyClick(player, Qt::Key_PageDown);
        note();
        QTest::keyClick(player, Qt::Key_8);
        note();
        QTest::keyClick(player, Qt::Key_PageDown);
        note();
        QTest::keyClick(player, Qt::Key_PageUp);
        note();
        EXPECT_EQ(QApplication::activeModalWidget(), player) << "still the same window";
    });
    QTest::keyClick(&dialog, Qt::Key_3);
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(titles,
              (QStringList{u" - udp://@224.1.1.4:1234"_qs, u" - udp://@224.1.1.8:1234"_qs,
                           u" - udp://@224.1.1.1:1234"_qs, u" - udp://@224.1.1.8:1234"_qs}));
    EXPECT_EQ(mrls, (QList<QByteArray>{"udp://@224.1.1.4:1234", "udp://@224.1.1.8:1234",
                                       "udp://@224.1.1.1:1234", "udp://@224.1.1.8:1234"}));
}

class PlayerWindowKeys : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_instance);
        m_player.SetInstance(m_instance.get());
        m_player.SetAddress(QStringLiteral("udp://@224.1.1.2:1234"));
        m_player.OnInitDialog();
        m_player.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_player));
    }

    VlcInstance m_instance = CreateVlcInstance();
    CPlayerDlg m_player;
};

TEST_F(PlayerWindowKeys, FullScreenByF11AndEscapeLeavesItFirst)
{
    QTest::keyClick(&m_player, Qt::Key_F11);
    EXPECT_TRUE(m_player.isFullScreen());
    QTest::keyClick(&m_player, Qt::Key_Escape);
    EXPECT_FALSE(m_player.isFullScreen());
    EXPECT_TRUE(m_player.isVisible());
    QTest::keyClick(&m_player, Qt::Key_Escape);
    EXPECT_FALSE(m_player.isVisible());
}

TEST_F(PlayerWindowKeys, MuteAndVolumeFromKeysAndWheelWithinZeroToAHundred)
{
    QTest::keyClick(&m_player, Qt::Key_M);
    EXPECT_TRUE(m_player.Muted());
    QTest::keyClick(&m_player, Qt::Key_M);
    EXPECT_FALSE(m_player.Muted());

    QTest::keyClick(&m_player, Qt::Key_Up);
    EXPECT_EQ(m_player.Volume(), 100) << "at most 100";
    QTest::keyClick(&m_player, Qt::Key_Down);
    QTest::keyClick(&m_player, Qt::Key_Down);
    EXPECT_EQ(m_player.Volume(), 90);

    auto* video = m_player.findChild<CVideoSurface*>(QStringLiteral("video"));
    const auto wheel = [&](int notches) {
        const QPointF at(100, 100);
        QWheelEvent event(at, video->mapToGlobal(at), {}, QPoint(0, 120 * notches), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(video, &event);
    };
    wheel(-2);
    EXPECT_EQ(m_player.Volume(), 80);

    QTest::keyClick(&m_player, Qt::Key_M);
    QTest::keyClick(&m_player, Qt::Key_Up);
    EXPECT_FALSE(m_player.Muted()) << "changing the volume unmutes";
    EXPECT_EQ(m_player.Volume(), 85);

    for (int i = 0; i < 30; ++i)
        QTest::keyClick(&m_player, Qt::Key_Down);
    wheel(-40);
    EXPECT_EQ(m_player.Volume(), 0);
    EXPECT_EQ(video->NoticeText(), QStringLiteral("音量 0%"));
    wheel(40);
    EXPECT_EQ(m_player.Volume(), 100);
    EXPECT_EQ(video->NoticeText(), QStringLiteral("音量 100%"));

    CPlayerDlg given;
    given.SetAudio(-20, false);
    EXPECT_EQ(given.Volume(), 0);
    given.SetAudio(250, false);
    EXPECT_EQ(given.Volume(), 100);
}

TEST_F(PlayerWindowKeys, FailedSwitchKeepsTheChannelAndShowsTheMessageOverThePlayer)
{
    locator::StorageServers nowhere;
    nowhere.forChannels1to6 = "not-an-address";
    nowhere.forChannels7and8 = "not-an-address";
    m_player.SetChannel(2, [&](int channel, QWidget* owner) -> std::optional<ChannelAddress> {
        const auto address = locator::LocateChannel(channel, false, owner, nowhere);
        return address ? std::optional(ChannelAddress{*address, {}, {}}) : std::nullopt;
    });
    ModalWatcher watcher;
    QTest::keyClick(&m_player, Qt::Key_5);
    ASSERT_EQ(watcher.seen().size(), 1u);
    EXPECT_EQ(watcher.seen()[0].text, QStringLiteral("服务器网络不通，请与管理员联系！"));
    EXPECT_EQ(watcher.seen()[0].owner, &m_player);
    EXPECT_EQ(m_player.windowTitle(), QStringLiteral(" - udp://@224.1.1.2:1234"));
    EXPECT_EQ(m_player.Channel(), 2);
    EXPECT_EQ(mrlOf(m_player.Player()), QByteArray("udp://@224.1.1.2:1234"));
}

TEST_F(PlayerWindowKeys, ClosingDuringABackoffIsImmediate)
{
    m_player.ReopenLater();
    ASSERT_EQ(m_player.PendingReopen(), 1s);
    QElapsedTimer clock;
    clock.start();
    QTest::keyClick(&m_player, Qt::Key_Escape);
    EXPECT_FALSE(m_player.isVisible());
    EXPECT_EQ(m_player.Player(), nullptr);
    EXPECT_LT(clock.elapsed(), 300);
}

struct ServerKeys
{
    const char* file;
    const char* low;
    const char* high;
};

std::string ServerKeysName(std::size_t index)
{
    const std::array<const char*, 4> names = {"no_file", "both_addresses", "names_not_addresses",
                                              "other_section"};
    return names.at(index);
}

class StorageServerKeys : public Viewer, public ::testing::WithParamInterface<ServerKeys>
{};

TEST_P(StorageServerKeys, NameTheServersWhenTheyAreAddresses)
{
    settings(GetParam().file);
    CChannelDlg dialog;
    dialog.OnInitDialog();
    EXPECT_EQ(dialog.StorageServers().forChannels1to6, QByteArray(GetParam().low));
    EXPECT_EQ(dialog.StorageServers().forChannels7and8, QByteArray(GetParam().high));
}

INSTANTIATE_TEST_SUITE_P(
    Files, StorageServerKeys,
    ::testing::Values(
        ServerKeys{"", "192.168.10.11", "192.168.10.12"},
        ServerKeys{"[Default]\nStorageServer1To6=10.0.0.5\nStorageServer7To8 = 10.0.0.6\n",
                   "10.0.0.5", "10.0.0.6"},
        ServerKeys{"[Default]\nStorageServer1To6=storage.local\nStorageServer7To8=10.0.0.256\n",
                   "192.168.10.11", "192.168.10.12"},
        ServerKeys{"[Other]\nStorageServer1To6=10.0.0.5\n", "192.168.10.11", "192.168.10.12"}),
    [](const auto& info) { return ServerKeysName(info.index); });

TEST_F(Viewer, NetworkCachingComesFromTheSettings)
{
    settings("[Default]\nMutiMode=1\nNetworkCaching=800\n");
    CChannelDlg dialog;
    dialog.OnInitDialog();
    EXPECT_EQ(dialog.MediaOptions(), QStringList{u":network-caching=800"_qs});

    for (const char* file :
         {"[Default]\nNetworkCaching=none\n", "[Default]\nNetworkCaching=-5\n", ""}) {
        settings(file);
        CChannelDlg defaults;
        defaults.OnInitDialog();
        EXPECT_EQ(defaults.MediaOptions(), QStringList{u":network-caching=100"_qs}) << file;
    }
}

TEST_F(Viewer, SiteServerIsAskedForTheChannelList)
{
    QFile list(QStringLiteral("list.json"));
    ASSERT_TRUE(list.open(QIODevice::WriteOnly));
    list.write("[{\"udp://224.1.1.3:1234\",\"http://127.0.0.1/hls/site3.m3u8\"\r\n}]");
    list.close();
    HttpServer server({u"serve"_qs, QDir::current().filePath(u"list.json"_qs), u"--bind"_qs,
                       u"127.0.0.1"_qs, u"80"_qs});
    settings("[Default]\nStorageServer1To6=127.0.0.1\n");
    CChannelDlg dialog;
    dialog.OnInitDialog();
    const auto found = dialog.Locate(3, &dialog);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->address, QStringLiteral("http://127.0.0.1/hls/site3.m3u8"));
    EXPECT_EQ(server.requests(), QStringList{u"GET /hls/storage_tasks.json"_qs});
}

} // namespace
