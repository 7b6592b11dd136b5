#include "Prompt.h"

#include <QApplication>
#include <QMessageBox>

void ShowPrompt(QWidget* owner, const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("提示"), text, QMessageBox::Ok, owner);
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
