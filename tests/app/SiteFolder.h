#pragma once

#include "ChannelDlg.h"
#include "PlayerDlg.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <vlc/vlc.h>

// The address `player` plays; empty without one.
inline QByteArray mrlOf(libvlc_media_player_t* player)
{
    libvlc_media_t* media = player ? libvlc_media_player_get_media(player) : nullptr;
    if (!media)
        return {};
    char* mrl = libvlc_media_get_mrl(media);
    QByteArray result(mrl);
    libvlc_free(mrl);
    libvlc_media_release(media);
    return result;
}

// Runs each test in a working folder of its own, as the program runs in its site folder.
class SiteFolderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_previous = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(m_dir.path()));
    }
    void TearDown() override { QDir::setCurrent(m_previous); }

    void settings(const QByteArray& bytes) { file(QStringLiteral("Quorvel.ini"), bytes); }

    void file(const QString& name, const QByteArray& bytes)
    {
        QFile f(name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    // The storage server's channel list, as HttpServer's arguments to serve it.
    QStringList channelList(const QByteArray& json)
    {
        file(QStringLiteral("list.json"), json);
        return {QStringLiteral("serve"), QDir::current().filePath(QStringLiteral("list.json"))};
    }

    // The channel window, with `ini` as its settings, shown.
    void openChannels(const QByteArray& ini)
    {
        settings(ini);
        m_dialog = std::make_unique<CChannelDlg>();
        m_dialog->OnInitDialog();
        m_dialog->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_dialog.get()));
    }

    QTemporaryDir m_dir;
    QString m_previous;
    std::unique_ptr<CChannelDlg> m_dialog;
};

// A player window of its own, on a multicast group, whose digit keys reach the other groups.
class PlayerView : public SiteFolderTest
{
protected:
    void SetUp() override
    {
        SiteFolderTest::SetUp();
        ASSERT_TRUE(m_instance);
    }

    void open(CPlayerDlg& player, int channel)
    {
        player.SetInstance(m_instance.get());
        player.SetAddress(QStringLiteral("udp://@224.1.1.%1:1234").arg(channel));
        player.SetChannel(channel, [](int other, QWidget*) {
            return std::optional(
                ChannelAddress{QStringLiteral("udp://@224.1.1.%1:1234").arg(other), {}, {}});
        });
        player.OnInitDialog();
        player.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&player));
    }

    VlcInstance m_instance = CreateVlcInstance();
};

// Calls `inside` with the next modal window of type Window to open (found from a timer, since a
// modal window runs its own event loop), then closes it with Escape if it is still open. The
// watch lasts as long as the returned timer, and ends at the first window unless started again.
template <class Window>
[[nodiscard]] std::unique_ptr<QTimer> WhenModalOpens(std::function<void(Window*)> inside)
{
    auto timer = std::make_unique<QTimer>();
    timer->setInterval(5);
    QTimer* watch = timer.get();
    QObject::connect(watch, &QTimer::timeout, [watch, inside] {
        auto* window = qobject_cast<Window*>(QApplication::activeModalWidget());
        if (!window || !window->isVisible())
            return;
        watch->stop();
        inside(window);
        if (window->isVisible())
            QTest::keyClick(window, Qt::Key_Escape);
    });
    timer->start();
    return timer;
}
