// What the frame of each kind of window asks of the window manager, and where a centred frame
// goes. Read under openbox by the end-to-end tests (test_program.Frames).
#include "WindowFrame.h"

#include <gtest/gtest.h>
#include <ostream>
#include <string>

namespace {

struct OfferCase
{
    const char* name;
    unsigned offers;
    std::uint32_t functions;   // resize 2, move 4, minimize 8, maximize 16, close 32
    std::uint32_t decorations; // border 2, resize handles 4, title 8, menu 16, min 32, max 64
};

void PrintTo(const OfferCase& c, std::ostream* os)
{
    *os << c.name;
}

class Offers : public ::testing::TestWithParam<OfferCase>
{};

TEST_P(Offers, MotifHintsAskForThoseAndNoMore)
{
    const OfferCase& c = GetParam();
    const auto hints = frame::MotifHints(c.offers);
    EXPECT_EQ(hints[0], 3u) << "functions and decorations both given";
    EXPECT_EQ(hints[1], c.functions);
    EXPECT_EQ(hints[2], c.decorations);
    EXPECT_EQ(hints[3], 0u);
    EXPECT_EQ(hints[4], 0u);
}

using namespace frame;
INSTANTIATE_TEST_SUITE_P(
    Windows, Offers,
    ::testing::Values(
        // A caption and nothing else: not even "all functions", which no bits would mean.
        OfferCase{"about_box", kMove, 4, 2 | 8},
        OfferCase{"message_box", kMove | kClose | kSystemMenu, 4 | 32, 2 | 8 | 16},
        OfferCase{"channel_window", kMove | kMinimize | kClose | kSystemMenu, 4 | 8 | 32,
                  2 | 8 | 16 | 32},
        // Maximize needs the resize function; no handles to drag.
        OfferCase{"player_window", kMove | kResize | kMinimize | kMaximize | kClose | kSystemMenu,
                  2 | 4 | 8 | 16 | 32, 2 | 8 | 16 | 32 | 64},
        OfferCase{"sizing_border", kMove | kSizingBorder, 2 | 4, 2 | 4 | 8}),
    [](const auto& info) { return std::string(info.param.name); });

struct CentreCase
{
    const char* name;
    QRect area;
    QSize client;
    QMargins frame;
    QPoint corner; // the frame's
};

void PrintTo(const CentreCase& c, std::ostream* os)
{
    *os << c.name;
}

class Centring : public ::testing::TestWithParam<CentreCase>
{};

TEST_P(Centring, PutsTheFrameInTheMiddleOfTheWorkArea)
{
    const CentreCase& c = GetParam();
    EXPECT_EQ(frame::CentredFramePosition(c.area, c.client, c.frame), c.corner);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, Centring,
    ::testing::Values(
        // openbox's frames on the tests' 1280 x 1024 screen
        CentreCase{"channel_window", {0, 0, 1280, 1024}, {800, 600}, {1, 20, 1, 1}, {239, 201}},
        CentreCase{"player_window", {0, 0, 1280, 1024}, {800, 600}, {1, 20, 1, 5}, {239, 199}},
        CentreCase{"no_frame_known", {0, 0, 1280, 1024}, {800, 600}, {}, {240, 212}},
        // a panel on the left and one at the top; a second screen to the right
        CentreCase{"work_area_off_the_origin",
                   {1920 + 48, 32, 1872, 1048},
                   {800, 600},
                   {4, 30, 4, 4},
                   {1920 + 48 + 532, 32 + 207}},
        CentreCase{"larger_than_the_area_keeps_its_title_bar_on_screen",
                   {0, 0, 1024, 600},
                   {800, 600},
                   {1, 20, 1, 1},
                   {111, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
