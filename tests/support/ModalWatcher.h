#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <vector>

// Answers every QMessageBox that opens while it lives, recording what the user would have seen.
// Modal boxes run their own event loop, so the watcher polls from a timer inside it.
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
    };

    ModalWatcher();
    const std::vector<Seen>& seen() const { return m_seen; }

private:
    void poll();

    QTimer m_timer;
    std::vector<Seen> m_seen;
};
