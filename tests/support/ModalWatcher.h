#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <vector>

// Answers every QMessageBox that opens while it lives, recording what the user would have seen.
// Modal boxes run their own event loop, so the watcher polls from a timer inside it.
//
// While no watcher lives, a box is a box no test expected: the test support fails the running
// test and closes the box, so that it cannot block the test binary for ever.
class ModalWatcher : public QObject
{
public:
    struct Seen
    {
        QString title;
        QString text;
        QPointer<QWidget> owner;
        bool hasIcon = false;
        int buttonCount = 0;
        QStringList buttonTexts;
    };

    ModalWatcher();
    ~ModalWatcher() override;
    const std::vector<Seen>& seen() const { return m_seen; }

    // Whether some watcher is answering boxes now.
    static bool Active();

private:
    void poll();

    QTimer m_timer;
    std::vector<Seen> m_seen;
};

// Fails the running test for every box that opens while no ModalWatcher lives, and closes it.
// TestMain keeps one for the whole run.
class UnexpectedBoxGuard : public QObject
{
public:
    UnexpectedBoxGuard();

private:
    void poll();

    QTimer m_timer;
};
