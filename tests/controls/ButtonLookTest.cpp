#include "ButtonLook.h"

#include "LabelButton.h"

#include <gtest/gtest.h>

namespace {

using P = ButtonPicture;
using C = CaptionColour;

// The picture: first match wins. The caption colour follows the flags whether or not the
// pictures exist.
TEST(ButtonStates, ChooseThePictureAndTheCaptionColour)
{
    const struct
    {
        // {hasNormal, hasHover, hasPressed, hasDisabled, hover, pressed, disabled}
        ButtonState state;
        ButtonPicture picture;
        CaptionColour caption;
    } cases[] = {
        {{true, true, true, true, false, false, false}, P::Normal, C::Normal},
        {{true, true, true, true, true, false, false}, P::Hover, C::Hover},
        {{true, true, true, true, true, true, false}, P::Pressed, C::Pressed},
        {{true, true, true, true, true, true, true}, P::Disabled, C::Disabled},
        // A flag whose picture is missing falls through to the next rule.
        {{true, true, false, false, true, true, true}, P::Hover, C::Disabled},
        {{true, false, false, false, true, true, true}, P::Normal, C::Disabled},
        {{true, false, true, false, true, true, false}, P::Pressed, C::Pressed},
        {{true, false, false, false, true, true, false}, P::Normal, C::Pressed},
        // Without a normal picture nothing but the platform face is drawn.
        {{false, true, true, true, true, true, true}, P::Fallback, C::Disabled},
        {{false, true, false, false, true, false, false}, P::Fallback, C::Hover},
        {{false, false, false, false, false, false, false}, P::Fallback, C::Normal},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        EXPECT_EQ(ChoosePicture(c.state), c.picture);
        EXPECT_EQ(ChooseCaptionColour(c.state), c.caption);
    }
}

TEST(Colorref, IsBlueGreenRed)
{
    EXPECT_EQ(ColorFromColorref(0x000000FF), QColor(255, 0, 0));
    EXPECT_EQ(ColorFromColorref(0x00FF0000), QColor(0, 0, 255));
    EXPECT_EQ(ColorFromColorref(0x003A3A3A), QColor(0x3A, 0x3A, 0x3A));
}

TEST(TextFormat, MapsDrawTextFlags)
{
    const std::pair<quint32, int> cases[] = {
        // The default: centred across, and on the top line since vertical centring needs a
        // single line.
        {DT_CENTER | DT_VCENTER, Qt::AlignHCenter | Qt::AlignTop},
        {DT_CENTER | DT_VCENTER | DT_SINGLELINE,
         Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine},
        {DT_RIGHT | DT_BOTTOM | DT_SINGLELINE,
         Qt::AlignRight | Qt::AlignBottom | Qt::TextSingleLine},
        {DT_LEFT | DT_WORDBREAK, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap},
        {DT_LEFT, Qt::AlignLeft | Qt::AlignTop},
    };
    for (const auto& [format, flags] : cases)
        EXPECT_EQ(TextFlagsFromFormat(format), flags) << "format " << format;
}

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
