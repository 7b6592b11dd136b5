#include "ButtonLook.h"

ButtonPicture ChoosePicture(const ButtonState& state)
{
    if (!state.hasNormal)
        return ButtonPicture::Fallback;
    if (state.disabled && state.hasDisabled)
        return ButtonPicture::Disabled;
    if (state.pressed && state.hasPressed)
        return ButtonPicture::Pressed;
    if (state.hover && state.hasHover)
        return ButtonPicture::Hover;
    return ButtonPicture::Normal;
}

CaptionColour ChooseCaptionColour(const ButtonState& state)
{
    if (state.disabled)
        return CaptionColour::Disabled;
    if (state.pressed)
        return CaptionColour::Pressed;
    if (state.hover)
        return CaptionColour::Hover;
    return CaptionColour::Normal;
}

QColor ColorFromColorref(COLORREF colour)
{
    return QColor(int(colour & 0xFF), int((colour >> 8) & 0xFF), int((colour >> 16) & 0xFF));
}

int TextFlagsFromFormat(quint32 format)
{
    int flags = 0;
    if (format & DT_CENTER)
        flags |= Qt::AlignHCenter;
    else if (format & DT_RIGHT)
        flags |= Qt::AlignRight;
    else
        flags |= Qt::AlignLeft;

    if (format & DT_SINGLELINE) {
        flags |= Qt::TextSingleLine;
        if (format & DT_VCENTER)
            flags |= Qt::AlignVCenter;
        else if (format & DT_BOTTOM)
            flags |= Qt::AlignBottom;
        else
            flags |= Qt::AlignTop;
    } else {
        flags |= Qt::AlignTop;
        if (format & DT_WORDBREAK)
            flags |= Qt::TextWordWrap;
    }
    return flags;
}
