#include "ModalWatcher.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>

ModalWatcher::ModalWatcher()
{
    m_timer.setInterval(5);
    connect(&m_timer, &QTimer::timeout, this, &ModalWatcher::poll);
    m_timer.start();
}

void ModalWatcher::poll()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (!box || !box->isVisible())
            continue;
        m_seen.push_back({box->windowTitle(), box->text(), box->parentWidget(),
                          box->icon() != QMessageBox::NoIcon, int(box->buttons().size())});
        box->done(QMessageBox::Ok);
    }
}
