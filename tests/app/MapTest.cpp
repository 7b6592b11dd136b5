// The program's windows are their dark grey from the moment the X server maps them, before the
// program has painted anything: the map is checked from a connection of the test's own while
// the program's side never returns to its event loop, over a red window laid beneath.
//
// Runs on an Xvfb of its own (no window manager: the map is the client's own request).
#include "AppLook.h"
#include "PlayerDlg.h"
#include "TestNames.h"

#include <QApplication>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <xcb/xcb.h>

// Last: Xlib defines macros (None, Bool, Status) that the headers above use as names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

extern char** environ;

namespace {

constexpr unsigned long kRed = 0xFF0000;

struct WindowCase
{
    const char* name;
    std::function<std::unique_ptr<QWidget>()> make;
};

class GreyAtMap : public ::testing::TestWithParam<WindowCase>
{
protected:
    void SetUp() override
    {
        m_display.reset(XOpenDisplay(nullptr));
        ASSERT_TRUE(m_display);
        // Override-redirect at (0, 0), larger than the windows under test.
        XSetWindowAttributes attributes{};
        attributes.background_pixel = kRed;
        attributes.override_redirect = True;
        m_beneath = XCreateWindow(m_display.get(), DefaultRootWindow(m_display.get()), 0, 0, 1000,
                                  800, 0, CopyFromParent, InputOutput, CopyFromParent,
                                  CWBackPixel | CWOverrideRedirect, &attributes);
        XMapRaised(m_display.get(), m_beneath);
        XSync(m_display.get(), False);
        ASSERT_TRUE(WaitFor([&] { return ShareOf(0, 0, 1000, 800, kRed) > 0.99; }));
    }

    void TearDown() override
    {
        if (m_display)
            XDestroyWindow(m_display.get(), m_beneath);
    }

    bool WaitFor(const std::function<bool()>& condition) const
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    double ShareOf(int x, int y, int width, int height, unsigned long colour) const
    {
        XImage* image = XGetImage(m_display.get(), DefaultRootWindow(m_display.get()), x, y,
                                  unsigned(width), unsigned(height), AllPlanes, ZPixmap);
        if (image == nullptr)
            return 0;
        int same = 0;
        int total = 0;
        for (int row = 0; row < height; row += 5)
            for (int column = 0; column < width; column += 5, ++total)
                same += (XGetPixel(image, column, row) & 0xFFFFFF) == colour ? 1 : 0;
        XDestroyImage(image);
        return double(same) / total;
    }

    bool Viewable(Window window) const
    {
        XWindowAttributes attributes{};
        return XGetWindowAttributes(m_display.get(), window, &attributes) != 0 &&
               attributes.map_state == IsViewable;
    }

    std::unique_ptr<Display, decltype(&XCloseDisplay)> m_display{nullptr, &XCloseDisplay};
    Window m_beneath = 0;
};

TEST_P(GreyAtMap, BeforeItsFirstPaint)
{
    const std::unique_ptr<QWidget> window = GetParam().make();
    window->move(0, 0);
    window->show();
    // The map request leaves now; the program's side does not paint until its event loop runs,
    // which it does not here.
    xcb_flush(qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection());
    const auto id = static_cast<Window>(window->winId());
    ASSERT_TRUE(WaitFor([&] { return Viewable(id); }));
    XWindowAttributes attributes{};
    XGetWindowAttributes(m_display.get(), id, &attributes);
    int x = 0;
    int y = 0;
    Window child = 0;
    XTranslateCoordinates(m_display.get(), id, DefaultRootWindow(m_display.get()), 0, 0, &x, &y,
                          &child);
    const unsigned long grey = CDarkDialog::kBackground.rgb() & 0xFFFFFF;
    EXPECT_GT(ShareOf(x, y, attributes.width, attributes.height, grey), 0.99);
    EXPECT_EQ(ShareOf(x, y, attributes.width, attributes.height, kRed), 0.0);
}

INSTANTIATE_TEST_SUITE_P(Windows, GreyAtMap,
                         ::testing::Values(WindowCase{"Dialog",
                                                      [] {
                                                          return std::make_unique<CDarkDialog>();
                                                      }},
                                           WindowCase{"Player",
                                                      [] {
                                                          return std::make_unique<CPlayerDlg>();
                                                      }}),
                         ByName());

// An Xvfb for this process alone: the number it picked comes back on a pipe.
pid_t StartXvfb()
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    const std::string fd = std::to_string(fds[1]);
    const char* argv[] = {"Xvfb",         "-displayfd", fd.c_str(), "-screen", "0",
                          "1280x1024x24", "-nolisten",  "tcp",      nullptr};
    pid_t pid = -1;
    if (posix_spawnp(&pid, "Xvfb", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
        pid = -1;
    close(fds[1]);
    char number[16] = {};
    const ssize_t got = pid > 0 ? read(fds[0], number, sizeof number - 1) : 0;
    close(fds[0]);
    if (got <= 0)
        return -1;
    number[std::strcspn(number, "\n")] = '\0';
    setenv("DISPLAY", (std::string(":") + number).c_str(), 1);
    return pid;
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();
    const pid_t xvfb = StartXvfb();
    if (xvfb <= 0) {
        std::fputs("cannot start Xvfb\n", stderr);
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    int result = 1;
    {
        QApplication app(argc, argv);
        result = RUN_ALL_TESTS();
    }
    kill(xvfb, SIGTERM);
    waitpid(xvfb, nullptr, 0);
    return result;
}
