// Resting the mouse on a channel's button prepares that channel, unseen and unheard, so that the
// click shows its picture at once; leaving lets it go, and a failed lookup waits for the click.
#include "ChannelDlg.h"
#include "HttpServer.h"
#include "ImageButton.h"
#include "Listeners.h"
#include "ModalWatcher.h"
#include "PlayerDlg.h"
#include "SiteFolder.h"
#include "StreamSender.h"
#include "VideoSurface.h"

#include <QTest>
#include <gtest/gtest.h>

namespace {

class PreStart : public SiteFolderTest
{
protected:
    void rest(int channel)
    {
        CImageButton* button = m_dialog->ChannelButton(channel);
        QTest::mouseMove(button, button->rect().center());
    }

    void leave() { QTest::mouseMove(m_dialog.get(), QPoint(400, 500)); }

    bool prepared(int channel, int within = 2000)
    {
        return QTest::qWaitFor([&] { return m_dialog->PreparedChannel() == channel; }, within);
    }
};

TEST_F(PreStart, RestingPreparesOneChannelUnheardLeavingOrClickingAnotherLetsItGo)
{
    openChannels("[Default]\nMutiMode=1\n");
    rest(3);
    EXPECT_EQ(m_dialog->PreparedChannel(), 0) << "not before the mouse has rested";
    ASSERT_TRUE(prepared(3));
    ASSERT_NE(m_dialog->PreparedPlayback(), nullptr);
    EXPECT_EQ(m_dialog->PreparedPlayback()->Address(), QStringLiteral("udp://@224.1.1.3:1234"));
    EXPECT_TRUE(m_dialog->PreparedPlayback()->Muted()) << "heard before the click";
    EXPECT_TRUE(QApplication::topLevelWidgets().contains(m_dialog.get()));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "no window before the click";

    rest(4); // straight onto the next button: only that one is prepared
    ASSERT_TRUE(prepared(4));
    leave();
    EXPECT_TRUE(prepared(0));
    EXPECT_EQ(m_dialog->PreparedPlayback(), nullptr);

    rest(3);
    ASSERT_TRUE(prepared(3));
    QString title;
    const auto watch = WhenModalOpens<CPlayerDlg>([&](CPlayerDlg* player) {
        title = player->windowTitle();
        EXPECT_EQ(m_dialog->PreparedChannel(), 0) << "one decoding channel at a time";
    });
    QTest::keyClick(m_dialog.get(), Qt::Key_5);
    EXPECT_EQ(title, QStringLiteral(" - udp://@224.1.1.5:1234"));

    // The click on the rested channel shows its picture at once.
    const StreamSender sender(QStringLiteral(CORVESSA_TEST_CLIP), 6);
    rest(6);
    ASSERT_TRUE(prepared(6));
    const CChannelPlayback* playback = m_dialog->PreparedPlayback();
    ASSERT_TRUE(QTest::qWaitFor([&] { return playback->HasPicture(); }, 15000));
    bool adopted = false;
    bool pictureAtOnce = false;
    bool muted = true;
    const auto next = WhenModalOpens<CPlayerDlg>([&](CPlayerDlg* player) {
        adopted = &player->Playback() == playback;
        pictureAtOnce = player->findChild<CVideoSurface*>()->HasPicture();
        muted = player->Muted();
    });
    QTest::keyClick(m_dialog.get(), Qt::Key_6);
    EXPECT_TRUE(adopted);
    EXPECT_TRUE(pictureAtOnce);
    EXPECT_FALSE(muted) << "heard once clicked";
}

TEST_F(PreStart, AFailedLookupIsToldOnlyOnTheClickAndOnce)
{
    // A refused probe fails at once: the lookup made while resting has failed long before the
    // click. No box may show meanwhile; the test support fails the test if one does.
    openChannels("[Default]\nStorageServer1To6=127.0.0.1\n");
    locator::StorageServers refusing = m_dialog->StorageServers();
    refusing.port = ClosedPort();
    m_dialog->SetStorageServers(refusing);
    rest(2);
    ASSERT_TRUE(prepared(2));
    QTest::qWait(300);
    EXPECT_EQ(m_dialog->PreparedPlayback(), nullptr);

    ModalWatcher watcher;
    QTest::keyClick(m_dialog.get(), Qt::Key_2);
    ASSERT_EQ(watcher.seen().size(), 1U);
    EXPECT_EQ(watcher.seen()[0].text, QStringLiteral("服务器网络不通，请与管理员联系！"));
}

TEST_F(PreStart, AFreshLookupServesTheClickAndAnOldOneIsMadeAgain)
{
    HttpServer server(
        channelList("[{\"udp://224.1.1.3:1234\",\"http://127.0.0.1:9/hls/3.m3u8\"\r\n}]"));
    openChannels("[Default]\nStorageServer1To6=127.0.0.1\n");
    locator::StorageServers servers = m_dialog->StorageServers();
    servers.port = server.port();
    m_dialog->SetStorageServers(servers);

    for (const bool old : {false, true}) {
        const qsizetype before = server.requests().size();
        rest(3);
        ASSERT_TRUE(prepared(3));
        ASSERT_TRUE(QTest::qWaitFor([&] { return m_dialog->PreparedPlayback() != nullptr; }, 5000));
        if (old)
            QTest::qWait(int(CChannelDlg::kFreshLookup.count()) + 300);
        QString title;
        const auto watch =
            WhenModalOpens<CPlayerDlg>([&](CPlayerDlg* player) { title = player->windowTitle(); });
        QTest::keyClick(m_dialog.get(), Qt::Key_3);
        EXPECT_EQ(title, QStringLiteral(" - http://127.0.0.1:9/hls/3.m3u8"));
        EXPECT_EQ(server.requests().size() - before, old ? 2 : 1) << (old ? "old" : "fresh");
        leave();
        ASSERT_TRUE(prepared(0));
    }
}

TEST_F(PreStart, PreStartZeroPreparesNothing)
{
    openChannels("[Default]\nMutiMode=1\nPreStart=0\n");
    rest(3);
    QTest::qWait(int(CChannelDlg::kRestTime.count()) * 4);
    EXPECT_EQ(m_dialog->PreparedChannel(), 0);
    QString title;
    const auto watch =
        WhenModalOpens<CPlayerDlg>([&](CPlayerDlg* player) { title = player->windowTitle(); });
    QTest::keyClick(m_dialog.get(), Qt::Key_3);
    EXPECT_EQ(title, QStringLiteral(" - udp://@224.1.1.3:1234"));
}

} // namespace
