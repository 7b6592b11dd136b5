#include "ButtonLook.h"

#include "LabelButton.h"

#include <gtest/gtest.h>
#include <string>
#include <utility>

namespace {

struct PictureCase
{
    ButtonState state;
    ButtonPicture expected;
};

class ChoosePictureTest : public ::testing::TestWithParam<PictureCase>
{};

TEST_P(ChoosePictureTest, FirstMatchWins)
{
    EXPECT_EQ(ChoosePicture(GetParam().state), GetParam().expected);
}

// {hasNormal, hasHover, hasPressed, hasDisabled, hover, pressed, disabled}
INSTANTIATE_TEST_SUITE_P(
    States, ChoosePictureTest,
    ::testing::Values(
        PictureCase{{true, true, true, true, false, false, false}, ButtonPicture::Normal},
        PictureCase{{true, true, true, true, true, false, false}, ButtonPicture::Hover},
        PictureCase{{true, true, true, true, true, true, false}, ButtonPicture::Pressed},
        PictureCase{{true, true, true, true, true, true, true}, ButtonPicture::Disabled},
        // A flag whose picture is missing falls through to the next rule.
        PictureCase{{true, true, false, false, true, true, true}, ButtonPicture::Hover},
        PictureCase{{true, false, false, false, true, true, true}, ButtonPicture::Normal},
        PictureCase{{true, false, true, false, true, true, false}, ButtonPicture::Pressed},
        // Without a normal picture nothing but the platform face is drawn.
        PictureCase{{false, true, true, true, true, true, true}, ButtonPicture::Fallback},
        PictureCase{{false, true, false, false, true, false, false}, ButtonPicture::Fallback}),
    [](const auto& info) {
        // Which pictures exist, then which flags are set: "NHP_hover_pressed".
        const ButtonState& s = info.param.state;
        std::string name = std::string(s.hasNormal ? "N" : "") + (s.hasHover ? "H" : "") +
                           (s.hasPressed ? "P" : "") + (s.hasDisabled ? "D" : "");
        name = name.empty() ? "none" : name;
        for (const auto& [set, flag] :
             {std::pair{s.hover, "_hover"}, std::pair{s.pressed, "_pressed"},
              std::pair{s.disabled, "_disabled"}})
            if (set)
                name += flag;
        return name + "_" + std::to_string(info.index);
    });

TEST(CaptionColour, FollowsTheFlagsWhetherOrNotPicturesExist)
{
    EXPECT_EQ(ChooseCaptionColour({false, false, false, false, false, false, false}),
              CaptionColour::Normal);
    EXPECT_EQ(ChooseCaptionColour({true, false, false, false, true, false, false}),
              CaptionColour::Hover);
    EXPECT_EQ(ChooseCaptionColour({true, false, false, false, true, true, false}),
              CaptionColour::Pressed);
    EXPECT_EQ(ChooseCaptionColour({true, false, false, false, true, true, true}),
              CaptionColour::Disabled);
}

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

INSTANTIATE_TEST_SUITE_P(
    Formats, TextFormat,
    ::testing::Values(
        // The default: centred across, and on the top line since vertical
        // centring needs a single line.
        FormatCase{DT_CENTER | DT_VCENTER, Qt::AlignHCenter | Qt::AlignTop},
        FormatCase{DT_CENTER | DT_VCENTER | DT_SINGLELINE,
                   Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine},
        FormatCase{DT_RIGHT | DT_BOTTOM | DT_SINGLELINE,
                   Qt::AlignRight | Qt::AlignBottom | Qt::TextSingleLine},
        FormatCase{DT_LEFT | DT_WORDBREAK, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap},
        FormatCase{DT_LEFT, Qt::AlignLeft | Qt::AlignTop}),
    [](const auto& info) {
        std::string name = "format";
        for (const auto& [bit, word] :
             {std::pair{DT_CENTER, "_centre"}, std::pair{DT_RIGHT, "_right"},
              std::pair{DT_VCENTER, "_vcentre"}, std::pair{DT_BOTTOM, "_bottom"},
              std::pair{DT_WORDBREAK, "_wordbreak"}, std::pair{DT_SINGLELINE, "_singleline"}})
            if ((info.param.format & bit) != 0)
                name += word;
        return name == "format" ? std::string("format_left") : name;
    });

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
