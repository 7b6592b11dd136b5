// Whether Qt can show a window, decided from the environment before Qt starts and from the
// platform it started on.
#include "Display.h"

#include "TestNames.h"

#include <gtest/gtest.h>
#include <ostream>
#include <string>

namespace {

struct Case
{
    const char* name;
    const char* platform; // QT_QPA_PLATFORM
    const char* display;  // DISPLAY
    const char* wayland;  // WAYLAND_DISPLAY
    bool shows;           // one of the platforms asked for may show a window
    const char* says;     // a word the line must hold when it does not
};

// gtest would print the case's bytes in every test's name line.
void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

class MissingDisplayTest : public ::testing::TestWithParam<Case>
{};

TEST_P(MissingDisplayTest, AnswersFromTheEnvironment)
{
    const Case& c = GetParam();
    const QString line =
        MissingDisplay({QString::fromLatin1(c.platform), QString::fromLatin1(c.display),
                        QString::fromLatin1(c.wayland)});
    if (c.shows) {
        EXPECT_TRUE(line.isEmpty()) << line.toStdString();
        return;
    }
    ASSERT_TRUE(line.startsWith(QStringLiteral("quorvel: no display: "))) << line.toStdString();
    EXPECT_TRUE(line.contains(QString::fromUtf8(c.says))) << line.toStdString();
    EXPECT_FALSE(line.contains(u'\n'));
}

INSTANTIATE_TEST_SUITE_P(
    Platforms, MissingDisplayTest,
    ::testing::Values(Case{"NothingSet", "", "", "", false, "set DISPLAY"},
                      Case{"X11Display", "", ":0", "", true, ""},
                      Case{"WaylandSessionOnly", "", "", "wayland-0", true, ""},
                      Case{"XcbWithoutDisplay", "xcb", "", "wayland-0", false, "set DISPLAY"},
                      Case{"XcbWithDisplay", "xcb", ":1", "", true, ""},
                      Case{"WaylandWithoutSocket", "wayland", ":0", "", false, "set DISPLAY"},
                      Case{"Offscreen", "offscreen", ":0", "", false, "\"offscreen\""},
                      Case{"Minimal", "minimal", "", "", false, "\"minimal\""},
                      Case{"OffscreenWithArguments", "offscreen:fontengine=freetype", ":0", "",
                           false, "\"offscreen\""},
                      Case{"ListFallsBackToX11", "wayland;xcb", ":0", "", true, ""},
                      Case{"ListOfInvisibleAndUnreachable", "xcb;offscreen", "", "", false,
                           "\"offscreen\""},
                      Case{"FramebufferDrawsOnTheScreen", "linuxfb", "", "", true, ""}),
    ByName());

TEST(DisplayAnswersTest, RefusedPlatformsPreferredPlatformAndTheDisplayNotReached)
{
    for (const char* name : {"offscreen", "minimal", "minimalegl"}) {
        const QString line = InvisiblePlatform(QString::fromLatin1(name));
        EXPECT_TRUE(line.startsWith(QStringLiteral("quorvel: no display: ")) &&
                    line.contains(QString::fromLatin1(name)))
            << name << ": " << line.toStdString();
    }
    for (const char* name : {"xcb", "wayland", "eglfs", "vnc"})
        EXPECT_TRUE(InvisiblePlatform(QString::fromLatin1(name)).isEmpty()) << name;

    // X11 when there is one, unless the platform was chosen.
    EXPECT_EQ(PreferredPlatform({{}, QStringLiteral(":0"), QStringLiteral("wayland-0")}),
              QStringLiteral("xcb"));
    EXPECT_EQ(PreferredPlatform({{}, {}, QStringLiteral("wayland-0")}), QString());
    EXPECT_EQ(PreferredPlatform({QStringLiteral("offscreen"), QStringLiteral(":0"), {}}),
              QStringLiteral("offscreen"));

    EXPECT_TRUE(UnreachableDisplay({QStringLiteral("xcb"), QStringLiteral(":42"), {}})
                    .contains(QStringLiteral("X11 display \":42\"")));
    EXPECT_TRUE(UnreachableDisplay({QStringLiteral("wayland"), {}, QStringLiteral("wayland-9")})
                    .contains(QStringLiteral("Wayland display \"wayland-9\"")));
    EXPECT_TRUE(UnreachableDisplay({QStringLiteral("eglfs"), {}, {}})
                    .startsWith(QStringLiteral("quorvel: no display: ")));
}

} // namespace
