#pragma once

#include <QPushButton>

// A button whose text shows white on whatever lies behind it. It keeps the button's own drawing
// and only changes the colours the text is drawn with.
class CLabelButton : public QPushButton
{
    Q_OBJECT

public:
    explicit CLabelButton(QWidget* parent = nullptr);

    // Applies white text on a transparent background to `palette`; the same answer for every
    // colour role a button's face asks for.
    static QPalette CtlColor(QPalette palette);
};
