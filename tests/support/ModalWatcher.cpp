#include "ModalWatcher.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <gtest/gtest.h>

namespace {

int g_watchers = 0;

} // namespace

ModalWatcher::ModalWatcher()
{
    ++g_watchers;
    m_timer.setInterval(5);
    connect(&m_timer, &QTimer::timeout, this, &ModalWatcher::poll);
    m_timer.start();
}

ModalWatcher::~ModalWatcher()
{
    --g_watchers;
}

bool ModalWatcher::Active()
{
    return g_watchers > 0;
}

void ModalWatcher::poll()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (!box || !box->isVisible())
            continue;
        QStringList texts;
        for (QAbstractButton* button : box->buttons())
            texts << button->text();
        m_seen.push_back({box->windowTitle(), box->text(), box->parentWidget(),
                          box->icon() != QMessageBox::NoIcon, int(box->buttons().size()), texts});
        box->done(QMessageBox::Ok);
    }
}

UnexpectedBoxGuard::UnexpectedBoxGuard()
{
    m_timer.setInterval(50);
    connect(&m_timer, &QTimer::timeout, this, &UnexpectedBoxGuard::poll);
    m_timer.start();
}

void UnexpectedBoxGuard::poll()
{
    if (ModalWatcher::Active())
        return;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (!box || !box->isVisible())
            continue;
        ADD_FAILURE() << "a box no test expected: " << box->windowTitle().toStdString() << ": "
                      << box->text().toStdString();
        box->done(QMessageBox::Ok);
    }
}
