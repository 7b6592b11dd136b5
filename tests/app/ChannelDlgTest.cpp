#include "ChannelDlg.h"

#include "AboutDlg.h"
#include "HttpServer.h"
#include "ImageButton.h"
#include "ModalWatcher.h"
#include "PlayerDlg.h"
#include "SiteFolder.h"
#include "TestNames.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

using ChannelWindow = SiteFolderTest;

TEST_F(ChannelWindow, EightPictureButtonsAtTheirPlacesEnterDoesNothingAndEscapeEndsTheWindow)
{
    QDir().mkdir(QStringLiteral("images"));
    for (const QString& name : QDir(QStringLiteral(CORVESSA_IMAGES)).entryList(QDir::Files))
        QFile::copy(QStringLiteral(CORVESSA_IMAGES "/") + name, QStringLiteral("images/") + name);
    CChannelDlg dialog;
    dialog.OnInitDialog();
    ASSERT_NE(dialog.Instance(), nullptr);
    EXPECT_EQ(dialog.size(), QSize(800, 600));
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Corvessa"));
    const QPoint places[] = {{16, 14},  {212, 14},  {408, 14},  {604, 14},
                             {16, 210}, {212, 210}, {408, 210}, {604, 210}};
    for (int channel = 1; channel <= 8; ++channel) {
        CImageButton* button = dialog.ChannelButton(channel);
        EXPECT_EQ(button->geometry(), QRect(places[channel - 1], QSize(180, 180))) << channel;
        EXPECT_EQ(button->ShownPicture(), ButtonPicture::Normal) << channel;
        EXPECT_TRUE(button->State().hasHover) << channel;
        EXPECT_TRUE(button->text().isEmpty());
    }
    const CPlayerDlg player(&dialog);
    for (const QWidget* window :
         {static_cast<const QWidget*>(&dialog), static_cast<const QWidget*>(&player)}) {
        const QList<QSize> sizes = window->windowIcon().availableSizes();
        EXPECT_TRUE(sizes.contains(QSize(16, 16)) && sizes.contains(QSize(32, 32)));
    }

    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    dialog.ChannelButton(1)->setFocus();
    QTest::keyClick(&dialog, Qt::Key_Return);
    QTest::keyClick(&dialog, Qt::Key_Enter);
    EXPECT_TRUE(dialog.isVisible());
    QTest::keyClick(&dialog, Qt::Key_Escape);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_EQ(dialog.Instance(), nullptr) << "libvlc is released when the window is cancelled";
}

// What a settings file says, and what the window takes from it.
struct Ini
{
    const char* file; // null: there is none
    bool multicast;
    bool fallback; // on where the other source is the storage server, unless told
    const char* caching = "100";
    const char* low = "192.168.10.11";
    const char* high = "192.168.10.12";
};

TEST_F(ChannelWindow, ReadsTheModesServersAndCachingFromTheSettingsFile)
{
    const Ini files[] = {
        {nullptr, false, false},
        {"", false, false},
        {"[Default]\nMutiMode=1\nNetworkCaching=800\n", true, true, "800"},
        {"[default]\nmutimode = 1\n", true, true},
        {"[Default]\r\nMutiMode=1\r\n", true, true},
        {"[Default]\nMutiMode=0\nNetworkCaching=none\n", false, false},
        {"[Default]\nOther=1\nNetworkCaching=-5\n", false, false},
        {"[Other]\nMutiMode=1\nStorageServer1To6=10.0.0.5\n", false, false},
        {"[Default]\nMutiMode=1\nFallback=0\n", true, false},
        {"[Default]\nMutiMode=0\nFallback=1\n", false, true},
        {"[Default]\nMutiMode=1\nFallback=\n", true, true},
        {"[Default]\nStorageServer1To6=10.0.0.5\nStorageServer7To8 = 10.0.0.6\n", false, false,
         "100", "10.0.0.5", "10.0.0.6"},
        {"[Default]\nStorageServer1To6=storage.local\nStorageServer7To8=10.0.0.256\n", false,
         false},
    };
    for (const Ini& c : files) {
        SCOPED_TRACE(c.file ? c.file : "no settings file");
        if (c.file)
            settings(c.file);
        CChannelDlg dialog;
        dialog.OnInitDialog();
        EXPECT_EQ(dialog.MultiMode(), c.multicast);
        EXPECT_EQ(dialog.FallbackOn(), c.fallback);
        EXPECT_EQ(dialog.StorageServers().forChannels1to6, QByteArray(c.low));
        EXPECT_EQ(dialog.StorageServers().forChannels7and8, QByteArray(c.high));
        EXPECT_EQ(dialog.MediaOptions(),
                  QStringList{QStringLiteral(":network-caching=") + QLatin1String(c.caching)});
    }
}

// Run as the program runs it (DoModal): the window is on screen, its pictures painted, before
// libvlc and the rest start; whatever comes first, a click or Escape, finds them started or
// never starts them.
struct StartCase
{
    const char* name;
    bool clickFirst; // a channel is clicked before the window has painted
    bool escapeFirst;
    int instances; // libvlc instances made in the end
};

class StartBehindTheWindow : public SiteFolderTest, public ::testing::WithParamInterface<StartCase>
{};

TEST_P(StartBehindTheWindow, LibvlcStartsOnceTheWindowIsOnScreenOrWhenFirstNeeded)
{
    const StartCase& c = GetParam();
    settings("[Default]\r\nMutiMode=1\r\nFastChannelChange=0\r\n");
    int made = 0;
    bool paintedFirst = false;
    bool painted = false;
    const auto dialog = std::make_unique<CChannelDlg>(nullptr, [&] {
        ++made;
        paintedFirst = painted;
        return CreateVlcInstance();
    });
    // Noted on the window's first paint, before anything the paint sets off.
    struct PaintWatch : QObject
    {
        bool* painted;
        explicit PaintWatch(bool* p) : painted(p) {}
        bool eventFilter(QObject*, QEvent* event) override
        {
            if (event->type() == QEvent::Paint)
                *painted = true;
            return false;
        }
    } watch(&painted);
    dialog->installEventFilter(&watch);

    if (c.clickFirst || c.escapeFirst)
        QTimer::singleShot(0, dialog.get(), [&] {
            if (c.escapeFirst)
                dialog->reject();
            else
                dialog->OnChannel(1); // locates the channel, then opens its window
        });
    const auto close = WhenModalOpens<CPlayerDlg>([](CPlayerDlg* player) { player->reject(); });
    QTimer ends;
    QObject::connect(&ends, &QTimer::timeout, dialog.get(), [&] {
        if (made > 0 || c.escapeFirst)
            dialog->reject();
    });
    ends.start(20);
    dialog->DoModal();
    EXPECT_EQ(made, c.instances);
    if (!c.clickFirst && !c.escapeFirst) {
        EXPECT_TRUE(paintedFirst) << "libvlc was started before the window was painted";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, StartBehindTheWindow,
                         ::testing::Values(StartCase{"nothing_first", false, false, 1},
                                           StartCase{"a_click_first", true, false, 1},
                                           StartCase{"escape_first", false, true, 0}),
                         ByName());

TEST_F(ChannelWindow, TheAboutBoxOpensFromTheContextMenusLastEntryAndFromAltA)
{
    CChannelDlg dialog;
    dialog.OnInitDialog();
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    QMenu* menu = dialog.findChild<QMenu*>();
    ASSERT_NE(menu, nullptr);
    const QList<QAction*> actions = menu->actions();
    ASSERT_GE(actions.size(), 2);
    EXPECT_TRUE(actions[actions.size() - 2]->isSeparator());
    EXPECT_EQ(actions.back()->text(), QStringLiteral("关于 Ondrasel(&A)..."));

    QStringList seen;
    QPixmap icon;
    QSize iconLabel;
    const auto watch = WhenModalOpens<CAboutDlg>([&](CAboutDlg* about) {
        seen << about->windowTitle();
        for (QLabel* label : about->findChildren<QLabel*>())
            seen << label->text();
        for (QPushButton* button : about->findChildren<QPushButton*>())
            seen << button->text();
        if (const auto* label = about->findChild<QLabel*>(QStringLiteral("icon"))) {
            icon = label->pixmap();
            iconLabel = label->size();
        }
    });
    QTest::keyClick(&dialog, Qt::Key_A, Qt::AltModifier);
    ASSERT_TRUE(seen.contains(QStringLiteral("关于 Corvessa")));
    seen.clear();
    watch->start();
    actions.back()->trigger();
    EXPECT_TRUE(seen.contains(QStringLiteral("关于 Corvessa")));
    EXPECT_TRUE(seen.contains(QStringLiteral("Corvessa 1.0 版")));
    EXPECT_TRUE(seen.contains(QStringLiteral("确定")));
    EXPECT_TRUE(dialog.isVisible());

    // The whole icon, its corners showing what lies behind it.
    ASSERT_EQ(icon.size(), QSize(32, 32));
    EXPECT_GE(iconLabel.width(), 32) << "the label crops the icon";
    EXPECT_GE(iconLabel.height(), 32) << "the label crops the icon";
    const QImage image = icon.toImage();
    EXPECT_TRUE(image.hasAlphaChannel());
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
    EXPECT_EQ(qAlpha(image.pixel(16, 16)), 255);
}

struct NoPlayerCase
{
    const char* name;
    const char* address; // in the channel list; null: the server cannot be reached
};

class NoPlayer : public ChannelWindow, public ::testing::WithParamInterface<NoPlayerCase>
{};

// An address the relay cannot route would reach libvlc as it is, and libvlc would fetch it by
// itself, with none of the relay's bounds: it is no address.
TEST_P(NoPlayer, AnUnreachableServerOrAnUnroutableAddressIsOneMessage)
{
    const NoPlayerCase& c = GetParam();
    HttpServer server(channelList("[{\"udp://224.1.1.2:1234\",\"" +
                                  QByteArray(c.address ? c.address : "") + "\"\r\n}]"));
    CChannelDlg dialog;
    dialog.OnInitDialog();
    locator::StorageServers servers;
    servers.forChannels1to6 = c.address ? "127.0.0.1" : "not-an-address";
    servers.port = server.port();
    dialog.SetStorageServers(servers);
    dialog.show();
    ModalWatcher watcher;
    dialog.OnChannel(2);
    ASSERT_EQ(watcher.seen().size(), 1u);
    EXPECT_EQ(watcher.seen()[0].text, c.address
                                          ? QStringLiteral("解析播放地址出错，请与管理员联系！")
                                          : QStringLiteral("服务器网络不通，请与管理员联系！"));
    EXPECT_EQ(watcher.seen()[0].owner, &dialog);
    EXPECT_EQ(dialog.findChild<CPlayerDlg*>(), nullptr);
    EXPECT_EQ(server.requests().size(), c.address ? 1 : 0) << "the channel list, and nothing else";
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, NoPlayer,
    ::testing::Values(NoPlayerCase{"unreachable_server", nullptr},
                      NoPlayerCase{"bracketed_ipv4", "http://[192.168.10.11]:8081/hls/index.m3u8"},
                      NoPlayerCase{"second_port", "http://192.168.10.11:8080:8081/hls/index.m3u8"},
                      NoPlayerCase{"backslash", "http://192.168.10.11:8080\\x/hls/index.m3u8"},
                      NoPlayerCase{"bar", "http://192.168.10.11|x/hls/index.m3u8"}),
    ByName());

TEST_F(ChannelWindow, WithoutLibvlcEveryClickRepeatsTheMessageAndOpensNoPlayer)
{
    settings("[Default]\nMutiMode=1\n");
    ModalWatcher watcher;
    CChannelDlg dialog(nullptr, [] { return VlcInstance(); });
    dialog.OnInitDialog();
    dialog.show();
    QTest::mouseClick(dialog.ChannelButton(5), Qt::LeftButton);
    QTest::mouseClick(dialog.ChannelButton(6), Qt::LeftButton);
    ASSERT_EQ(watcher.seen().size(), 3u) << "once at start, once per click";
    for (const auto& seen : watcher.seen()) {
        EXPECT_EQ(seen.text, QStringLiteral("播放器初始化失败，请与管理员联系！"));
        EXPECT_EQ(seen.title, QStringLiteral("提示"));
        EXPECT_EQ(seen.owner, &dialog);
    }
    EXPECT_EQ(dialog.findChild<CPlayerDlg*>(), nullptr);
}

} // namespace
