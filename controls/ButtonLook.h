#pragma once

#include <QColor>
#include <QtGlobal>

// The pure decisions behind an image button's painting, kept apart so they can be checked
// without pixels.

enum class ButtonPicture
{
    Fallback,
    Normal,
    Hover,
    Pressed,
    Disabled
};

struct ButtonState
{
    bool hasNormal = false;
    bool hasHover = false;
    bool hasPressed = false;
    bool hasDisabled = false;
    bool hover = false;
    bool pressed = false;
    bool disabled = false;
};

// First match wins: disabled, pressed, hover, each only when its picture exists; then normal.
// Without a normal picture the button draws the platform's push-button face instead.
ButtonPicture ChoosePicture(const ButtonState& state);

// The caption colour goes by the flags alone, whether or not that state's picture exists.
enum class CaptionColour
{
    Normal,
    Hover,
    Pressed,
    Disabled
};
CaptionColour ChooseCaptionColour(const ButtonState& state);

// Windows COLORREF values are 0x00BBGGRR.
using COLORREF = quint32;
QColor ColorFromColorref(COLORREF colour);

// DrawText format flags as the button's caption uses them.
enum : quint32
{
    DT_LEFT = 0x0,
    DT_CENTER = 0x1,
    DT_RIGHT = 0x2,
    DT_VCENTER = 0x4,
    DT_BOTTOM = 0x8,
    DT_WORDBREAK = 0x10,
    DT_SINGLELINE = 0x20,
};

// Qt alignment and text flags for a DrawText format. As with DrawText, vertical placement only
// applies to a single line: without DT_SINGLELINE the text starts at the top.
int TextFlagsFromFormat(quint32 format);
