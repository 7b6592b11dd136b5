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
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

class ChannelWindow : public SiteFolderTest
{
protected:
    void images()
    {
        QDir().mkdir(QStringLiteral("images"));
        for (const QString& name : QDir(QStringLiteral(CORVESSA_IMAGES)).entryList(QDir::Files))
            QFile::copy(QStringLiteral(CORVESSA_IMAGES "/") + name,
                        QStringLiteral("images/") + name);
    }
};

TEST_F(ChannelWindow, EightPictureButtonsAtTheirPlaces)
{
    images();
    CChannelDlg dialog;
    dialog.OnInitDialog();
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
}

TEST_F(ChannelWindow, WithoutPicturesPlainButtonsStillOpenChannels)
{
    settings("[Default]\r\nMutiMode=1\r\n");
    CChannelDlg dialog;
    dialog.OnInitDialog();
    ASSERT_TRUE(dialog.MultiMode());
    for (int channel = 1; channel <= 8; ++channel) {
        EXPECT_EQ(dialog.ChannelButton(channel)->ShownPicture(), ButtonPicture::Fallback);
        EXPECT_EQ(dialog.ChannelButton(channel)->size(), QSize(180, 180));
    }
    dialog.show();
    QString title;
    const auto watch =
        WhenModalOpens<CPlayerDlg>([&](CPlayerDlg* player) { title = player->windowTitle(); });
    QTest::mouseClick(dialog.ChannelButton(3), Qt::LeftButton);
    EXPECT_EQ(title, QStringLiteral(" - udp://@224.1.1.3:1234"));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "back to the channel window";
}

struct ModeCase
{
    const char* file;
    bool multicast;
    bool fallback; // on where the other source is the storage server, unless told
};

void PrintTo(const ModeCase& c, std::ostream* os)
{
    *os << (c.file ? c.file : "no settings file");
}

class ModeFlag : public ChannelWindow, public ::testing::WithParamInterface<ModeCase>
{};

TEST_P(ModeFlag, IsReadFromTheSettingsFile)
{
    if (GetParam().file)
        settings(GetParam().file);
    CChannelDlg dialog;
    dialog.OnInitDialog();
    EXPECT_EQ(dialog.MultiMode(), GetParam().multicast);
    EXPECT_EQ(dialog.FallbackOn(), GetParam().fallback);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ModeFlag,
    ::testing::Values(ModeCase{nullptr, false, false},
                      ModeCase{"[Default]\nMutiMode=1\n", true, true},
                      ModeCase{"[default]\nmutimode = 1\n", true, true},
                      ModeCase{"[Default]\nMutiMode=0\n", false, false},
                      ModeCase{"[Default]\nOther=1\n", false, false},
                      ModeCase{"[Other]\nMutiMode=1\n", false, false},
                      ModeCase{"[Default]\nMutiMode=1\nFallback=0\n", true, false},
                      ModeCase{"[Default]\nMutiMode=0\nFallback=1\n", false, true},
                      ModeCase{"[Default]\nMutiMode=1\nFallback=\n", true, true}),
    [](const auto& info) {
        return info.param.file == nullptr ? std::string("no_file")
                                          : "file_" + CaseName(info.param.file);
    });

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
    std::unique_ptr<CChannelDlg> dialog;
    bool painted = false;
    dialog = std::make_unique<CChannelDlg>(nullptr, [&] {
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
            if (c.escapeFirst) {
                dialog->reject();
                return;
            }
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
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ChannelWindow, EnterDoesNothingAndEscapeEndsTheWindow)
{
    CChannelDlg dialog;
    dialog.OnInitDialog();
    ASSERT_NE(dialog.Instance(), nullptr);
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
    const auto watch = WhenModalOpens<CAboutDlg>([&](CAboutDlg* about) {
        seen << about->windowTitle();
        for (QLabel* label : about->findChildren<QLabel*>())
            seen << label->text();
        for (QPushButton* button : about->findChildren<QPushButton*>())
            seen << button->text();
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
}

TEST(AboutBox, ShowsTheWholeIconWithTransparentCorners)
{
    CAboutDlg about;
    QLabel* icon = about.findChild<QLabel*>(QStringLiteral("icon"));
    ASSERT_NE(icon, nullptr);
    const QPixmap shown = icon->pixmap();
    ASSERT_EQ(shown.size(), QSize(32, 32));
    EXPECT_GE(icon->width(), 32) << "the label crops the icon";
    EXPECT_GE(icon->height(), 32) << "the label crops the icon";
    const QImage image = shown.toImage();
    EXPECT_TRUE(image.hasAlphaChannel());
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << "a corner shows what lies behind the icon";
    EXPECT_EQ(qAlpha(image.pixel(16, 16)), 255);
}

TEST_F(ChannelWindow, UnreachableServerShowsOneMessageAndOpensNoPlayer)
{
    CChannelDlg dialog;
    dialog.OnInitDialog();
    locator::StorageServers servers;
    servers.forChannels1to6 = "not-an-address";
    dialog.SetStorageServers(servers);
    dialog.show();
    ModalWatcher watcher;
    dialog.OnChannel(2);
    ASSERT_EQ(watcher.seen().size(), 1u);
    EXPECT_EQ(watcher.seen()[0].text, QStringLiteral("服务器网络不通，请与管理员联系！"));
    EXPECT_EQ(watcher.seen()[0].owner, &dialog);
    EXPECT_EQ(dialog.findChild<CPlayerDlg*>(), nullptr);
}

struct Unroutable
{
    const char* name;
    const char* address;
};

void PrintTo(const Unroutable& c, std::ostream* os)
{
    *os << c.name;
}

class UnroutableAddress : public ChannelWindow, public ::testing::WithParamInterface<Unroutable>
{};

// An address the relay cannot route would reach libvlc as it is, and libvlc would fetch it by
// itself, with none of the relay's bounds: it is no address.
TEST_P(UnroutableAddress, IsNoAddress)
{
    QFile list(QStringLiteral("list.json"));
    ASSERT_TRUE(list.open(QIODevice::WriteOnly));
    list.write("[{\"udp://224.1.1.2:1234\",\"" + QByteArray(GetParam().address) + "\"\r\n}]");
    list.close();
    HttpServer server({u"serve"_qs, QDir::current().filePath(u"list.json"_qs)});
    CChannelDlg dialog;
    dialog.OnInitDialog();
    locator::StorageServers servers;
    servers.forChannels1to6 = "127.0.0.1";
    servers.port = server.port();
    dialog.SetStorageServers(servers);
    dialog.show();
    ModalWatcher watcher;
    dialog.OnChannel(2);
    ASSERT_EQ(watcher.seen().size(), 1u);
    EXPECT_EQ(watcher.seen()[0].text, QStringLiteral("解析播放地址出错，请与管理员联系！"));
    EXPECT_EQ(dialog.findChild<CPlayerDlg*>(), nullptr);
    EXPECT_EQ(server.requests().size(), 1) << "the channel list, and nothing else";
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, UnroutableAddress,
    ::testing::Values(Unroutable{"bracketed_ipv4", "http://[192.168.10.11]:8081/hls/index.m3u8"},
                      Unroutable{"second_port", "http://192.168.10.11:8080:8081/hls/index.m3u8"},
                      Unroutable{"backslash", "http://192.168.10.11:8080\\x/hls/index.m3u8"},
                      Unroutable{"bar", "http://192.168.10.11|x/hls/index.m3u8"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ChannelWindow, WithoutLibvlcEveryClickRepeatsTheMessageAndOpensNoPlayer)
{
    settings("[Default]\nMutiMode=1\n");
    ModalWatcher watcher;
    CChannelDlg dialog(nullptr, [] { return VlcInstance(); });
    dialog.OnInitDialog();
    dialog.show();
    QTest::mouseClick(dialog.ChannelButton(5), Qt::LeftButton);
    QTest::mouseClick(dialog.ChannelButton(6), Qt::LeftButton);
    const QString expected = QStringLiteral("播放器初始化失败，请与管理员联系！");
    ASSERT_EQ(watcher.seen().size(), 3u) << "once at start, once per click";
    for (const auto& seen : watcher.seen()) {
        EXPECT_EQ(seen.text, expected);
        EXPECT_EQ(seen.title, QStringLiteral("提示"));
        EXPECT_EQ(seen.owner, &dialog);
    }
    EXPECT_EQ(dialog.findChild<CPlayerDlg*>(), nullptr);
}

TEST_F(ChannelWindow, BothWindowsCarryTheIconInTwoSizes)
{
    CChannelDlg dialog;
    dialog.OnInitDialog();
    CPlayerDlg player(&dialog);
    for (const QWidget* window : {static_cast<QWidget*>(&dialog), static_cast<QWidget*>(&player)}) {
        const QList<QSize> sizes = window->windowIcon().availableSizes();
        EXPECT_TRUE(sizes.contains(QSize(16, 16)));
        EXPECT_TRUE(sizes.contains(QSize(32, 32)));
    }
}

} // namespace
