// Where a centred frame goes, on work areas the end-to-end tests' screen does not have (what each
// window asks of the window manager is read under openbox by test_program.Frames).
#include "WindowFrame.h"

#include <gtest/gtest.h>

namespace {

TEST(Centring, PutsTheFrameInTheMiddleOfTheWorkArea)
{
    const struct
    {
        const char* name;
        QRect area;
        QSize client;
        QMargins frame;
        QPoint corner; // the frame's
    } cases[] = {
        // openbox's frames on the tests' 1280 x 1024 screen
        {"channel_window", {0, 0, 1280, 1024}, {800, 600}, {1, 20, 1, 1}, {239, 201}},
        {"player_window", {0, 0, 1280, 1024}, {800, 600}, {1, 20, 1, 5}, {239, 199}},
        {"no_frame_known", {0, 0, 1280, 1024}, {800, 600}, {}, {240, 212}},
        // a panel on the left and one at the top; a second screen to the right
        {"work_area_off_the_origin",
         {1920 + 48, 32, 1872, 1048},
         {800, 600},
         {4, 30, 4, 4},
         {1920 + 48 + 532, 32 + 207}},
        {"larger_than_the_area_keeps_its_title_bar_on_screen",
         {0, 0, 1024, 600},
         {800, 600},
         {1, 20, 1, 1},
         {111, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(frame::CentredFramePosition(c.area, c.client, c.frame), c.corner);
    }
}

} // namespace
