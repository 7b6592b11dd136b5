#include "Prompt.h"

#include "WindowFrame.h"

#include <QAbstractButton>
#include <QApplication>
#include <QIcon>
#include <QMessageBox>

void ShowPrompt(QWidget* owner, const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("提示"), text, QMessageBox::Ok, owner);
    // Qt names its standard buttons in the language of the translations loaded, and Corvessa
    // loads none; the program speaks Chinese whatever the desktop's language.
    QAbstractButton* ok = box.button(QMessageBox::Ok);
    ok->setText(QStringLiteral("确定"));
    // Styles on X11 put an icon on a standard button; the box's button is its text alone.
    ok->setIcon(QIcon());
    frame::SetOffers(&box, frame::kMove | frame::kClose | frame::kSystemMenu);
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
