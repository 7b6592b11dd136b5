#include "ChannelDlg.h"
#include "ChannelLocator.h"
#include "HttpServer.h"
#include "ModalWatcher.h"
#include "PlayerDlg.h"
#include "SiteFolder.h"

#include <QApplication>
#include <QTest>
#include <gtest/gtest.h>
#include <vlc/vlc.h>

namespace {

using Viewer = SiteFolderTest;

TEST_F(Viewer, DigitKeysOpenChannelsWhoseWindowStepsThroughThemKeepingVolumeAndMute)
{
    openChannels("[Default]\nMutiMode=1\n");
    QStringList titles;
    QList<QByteArray> mrls;
    auto watch = WhenModalOpens<CPlayerDlg>([&](CPlayerDlg* player) {
        const auto note = [&] {
            titles << player->windowTitle();
            mrls << mrlOf(player->Player());
        };
        titles << player->windowTitle();
        QTest::keyClick(player, Qt::Key_Down);
        QTest::keyClick(player, Qt::Key_Down);
        QTest::keyClick(player, Qt::Key_M);
        for (const Qt::Key key : {Qt::Key_PageDown, Qt::Key_8, Qt::Key_PageDown, Qt::Key_PageUp}) {
            QTest::keyClick(player, key);
            note();
        }
        EXPECT_EQ(QApplication::activeModalWidget(), player) << "still the same window";
        EXPECT_EQ(player->Volume(), 90);
        EXPECT_TRUE(player->Muted()) << "a channel switch keeps them";
        // Each switch makes a new libvlc player: they reach it too.
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return player->Playback().Address() == locator::MulticastAddress(8); }, 5000));
        ASSERT_NE(player->Player(), nullptr);
        EXPECT_EQ(libvlc_audio_get_mute(player->Player()), 1);
        EXPECT_EQ(libvlc_audio_get_volume(player->Player()), 90);
    });
    QTest::keyClick(m_dialog.get(), Qt::Key_1);
    EXPECT_EQ(titles, (QStringList{u" - udp://@224.1.1.1:1234"_qs, u" - udp://@224.1.1.2:1234"_qs,
                                   u" - udp://@224.1.1.8:1234"_qs, u" - udp://@224.1.1.1:1234"_qs,
                                   u" - udp://@224.1.1.8:1234"_qs}));
    EXPECT_EQ(mrls, (QList<QByteArray>{"udp://@224.1.1.2:1234", "udp://@224.1.1.8:1234",
                                       "udp://@224.1.1.1:1234", "udp://@224.1.1.8:1234"}));

    QString title;
    int volume = -1;
    bool muted = false;
    watch = WhenModalOpens<CPlayerDlg>([&](CPlayerDlg* player) {
        title = player->windowTitle();
        volume = player->Volume();
        muted = player->Muted();
    });
    QTest::keyClick(m_dialog.get(), Qt::Key_8);
    EXPECT_EQ(title, QStringLiteral(" - udp://@224.1.1.8:1234"));
    EXPECT_EQ(volume, 90) << "the next window keeps them too";
    EXPECT_TRUE(muted);

    bool opened = false;
    watch = WhenModalOpens<CPlayerDlg>([&](CPlayerDlg*) { opened = true; });
    QTest::keyClick(m_dialog.get(), Qt::Key_9);
    QTest::keyClick(m_dialog.get(), Qt::Key_0);
    QTest::qWait(50);
    EXPECT_FALSE(opened);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "the busy cursor is gone afterwards";
}

using SwitchingPlayer = PlayerView;

TEST_F(SwitchingPlayer, FailedSwitchKeepsTheChannelAndShowsTheMessageOverThePlayer)
{
    CPlayerDlg player;
    open(player, 2);
    locator::StorageServers nowhere;
    nowhere.forChannels1to6 = "not-an-address";
    nowhere.forChannels7and8 = "not-an-address";
    player.SetChannel(2, [&](int channel, QWidget* owner) -> std::optional<ChannelAddress> {
        const auto address = locator::LocateChannel(channel, false, owner, nowhere);
        return address ? std::optional(ChannelAddress{*address, {}, {}}) : std::nullopt;
    });
    ModalWatcher watcher;
    QTest::keyClick(&player, Qt::Key_5);
    ASSERT_EQ(watcher.seen().size(), 1u);
    EXPECT_EQ(watcher.seen()[0].text, QStringLiteral("服务器网络不通，请与管理员联系！"));
    EXPECT_EQ(watcher.seen()[0].owner, &player);
    EXPECT_EQ(player.windowTitle(), QStringLiteral(" - udp://@224.1.1.2:1234"));
    EXPECT_EQ(player.Channel(), 2);
    EXPECT_EQ(mrlOf(player.Player()), QByteArray("udp://@224.1.1.2:1234"));
}

TEST_F(Viewer, SiteServerIsAskedForTheChannelList)
{
    HttpServer server(
        channelList("[{\"udp://224.1.1.3:1234\",\"http://127.0.0.1/hls/site3.m3u8\"\r\n}]") +
        QStringList{QStringLiteral("--bind"), QStringLiteral("127.0.0.1"), QStringLiteral("80")});
    settings("[Default]\nStorageServer1To6=127.0.0.1\n");
    CChannelDlg dialog;
    dialog.OnInitDialog();
    const auto found = dialog.Locate(3, &dialog);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->address, QStringLiteral("http://127.0.0.1/hls/site3.m3u8"));
    EXPECT_EQ(server.requests(), QStringList{u"GET /hls/storage_tasks.json"_qs});
}

} // namespace
