#include "Prompt.h"

#include <QMessageBox>

void ShowPrompt(QWidget* owner, const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("提示"), text, QMessageBox::Ok, owner);
    box.exec();
}
