#include "Prompt.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>

void ShowPrompt(QWidget* owner, const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("提示"), text, QMessageBox::Ok, owner);
    // Qt names its standard buttons in the language of the translations loaded, and Corvessa
    // loads none; the program speaks Chinese whatever the desktop's language.
    box.button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
    int lifted = 0;
    for (; QApplication::overrideCursor() != nullptr; ++lifted)
        QApplication::restoreOverrideCursor();
    box.exec();
    while (lifted-- > 0)
        QApplication::setOverrideCursor(Qt::WaitCursor);
}

BusyCursor::BusyCursor()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

BusyCursor::~BusyCursor()
{
    QApplication::restoreOverrideCursor();
}
