#pragma once

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

// Runs each test in a working folder of its own, as the program runs in its site folder.
class SiteFolderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_previous = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(m_dir.path()));
    }
    void TearDown() override { QDir::setCurrent(m_previous); }

    void settings(const QByteArray& bytes)
    {
        QFile f(QStringLiteral("Quorvel.ini"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    QTemporaryDir m_dir;
    QString m_previous;
};

// Calls `inside` with the next modal window of type Window to open (found from a timer, since a
// modal window runs its own event loop), then closes it with Escape if it is still open. The
// watch lasts as long as the returned timer.
template <class Window>
[[nodiscard]] std::unique_ptr<QTimer> WhenModalOpens(std::function<void(Window*)> inside)
{
    auto timer = std::make_unique<QTimer>();
    timer->setInterval(5);
    QTimer* watch = timer.get();
    QObject::connect(watch, &QTimer::timeout, [watch, inside] {
        auto* window = qobject_cast<Window*>(QApplication::activeModalWidget());
        if (!window || !window->isVisible())
            return;
        watch->stop();
        inside(window);
        if (window->isVisible())
            QTest::keyClick(window, Qt::Key_Escape);
    });
    timer->start();
    return timer;
}
