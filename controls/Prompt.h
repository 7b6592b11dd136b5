#pragma once

class QString;
class QWidget;

// Every failure the program reports goes through here: a modal box owned by `owner`, captioned
// "提示", with the text, no icon and one button, "确定" without an icon; its frame offers no
// minimize, maximize or resizing. Returns when the user dismisses it.
// A busy cursor in force is lifted while the box is up.
void ShowPrompt(QWidget* owner, const QString& text);

// Shows the busy cursor over the whole application while it lives.
class BusyCursor
{
public:
    BusyCursor();
    ~BusyCursor();
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};
