#include "ButtonLook.h"

#include "LabelButton.h"

#include <gtest/gtest.h>

namespace {

struct StateCase
{
    ButtonState state;
    ButtonPicture picture;
    CaptionColour caption;
};

class ButtonStates : public ::testing::TestWithParam<StateCase>
{};

// The picture: first match wins. The caption colour follows the flags whether or not the
// pictures exist.
TEST_P(ButtonStates, ChooseThePictureAndTheCaptionColour)
{
    EXPECT_EQ(ChoosePicture(GetParam().state), GetParam().picture);
    EXPECT_EQ(ChooseCaptionColour(GetParam().state), GetParam().caption);
}

using P = ButtonPicture;
using C = CaptionColour;

// {hasNormal, hasHover, hasPressed, hasDisabled, hover, pressed, disabled}
INSTANTIATE_TEST_SUITE_P(
    States, ButtonStates,
    ::testing::Values(
        StateCase{{true, true, true, true, false, false, false}, P::Normal, C::Normal},
        StateCase{{true, true, true, true, true, false, false}, P::Hover, C::Hover},
        StateCase{{true, true, true, true, true, true, false}, P::Pressed, C::Pressed},
        StateCase{{true, true, true, true, true, true, true}, P::Disabled, C::Disabled},
        // A flag whose picture is missing falls through to the next rule.
        StateCase{{true, true, false, false, true, true, true}, P::Hover, C::Disabled},
        StateCase{{true, false, false, false, true, true, true}, P::Normal, C::Disabled},
        StateCase{{true, false, true, false, true, true, false}, P::Pressed, C::Pressed},
        StateCase{{true, false, false, false, true, true, false}, P::Normal, C::Pressed},
        // Without a normal picture nothing but the platform face is drawn.
        StateCase{{false, true, true, true, true, true, true}, P::Fallback, C::Disabled},
        StateCase{{false, true, false, false, true, false, false}, P::Fallback, C::Hover},
        StateCase{{false, false, false, false, false, false, false}, P::Fallback, C::Normal}));

TEST(Colorref, IsBlueGreenRed)
{
    EXPECT_EQ(ColorFromColorref(0x000000FF), QColor(255, 0, 0));
    EXPECT_EQ(ColorFromColorref(0x00FF0000), QColor(0, 0, 255));
    EXPECT_EQ(ColorFromColorref(0x003A3A3A), QColor(0x3A, 0x3A, 0x3A));
}

struct FormatCase
{
    quint32 format;
    int flags;
};

class TextFormat : public ::testing::TestWithParam<FormatCase>
{};

TEST_P(TextFormat, MapsDrawTextFlags)
{
    EXPECT_EQ(TextFlagsFromFormat(GetParam().format), GetParam().flags);
}

INSTANTIATE_TEST_SUITE_P(Formats, TextFormat,
                         ::testing::Values(
                             // The default: centred across, and on the top line since vertical
                             // centring needs a single line.
                             FormatCase{DT_CENTER | DT_VCENTER, Qt::AlignHCenter | Qt::AlignTop},
                             FormatCase{DT_CENTER | DT_VCENTER | DT_SINGLELINE,
                                        Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine},
                             FormatCase{DT_RIGHT | DT_BOTTOM | DT_SINGLELINE,
                                        Qt::AlignRight | Qt::AlignBottom | Qt::TextSingleLine},
                             FormatCase{DT_LEFT | DT_WORDBREAK,
                                        Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap},
                             FormatCase{DT_LEFT, Qt::AlignLeft | Qt::AlignTop}));

TEST(LabelButton, AnswersWhiteTextOnTransparentForEveryGroup)
{
    const QPalette palette = CLabelButton::CtlColor(QPalette(Qt::black));
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        EXPECT_EQ(palette.color(group, QPalette::ButtonText), QColor(Qt::white));
        EXPECT_EQ(palette.color(group, QPalette::Button).alpha(), 0);
    }
    CLabelButton label;
    EXPECT_EQ(label.palette().color(QPalette::ButtonText), QColor(Qt::white));
}

} // namespace
