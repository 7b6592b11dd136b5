#pragma once

class QString;
class QWidget;

// Every failure the program reports goes through here: a modal box owned by `owner`, captioned
// "提示", with the text, no icon and one OK button. Returns when the user dismisses it.
void ShowPrompt(QWidget* owner, const QString& text);
