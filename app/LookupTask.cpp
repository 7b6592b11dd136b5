#include "LookupTask.h"

#include "Background.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <mutex>

namespace {

// Holds off the viewer's input to every window while it lives.
class InputBlocker : public QObject
{
public:
    InputBlocker() { QCoreApplication::instance()->installEventFilter(this); }
    ~InputBlocker() override { QCoreApplication::instance()->removeEventFilter(this); }
    InputBlocker(const InputBlocker&) = delete;
    InputBlocker& operator=(const InputBlocker&) = delete;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Shortcut:
        case QEvent::ShortcutOverride:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
            return true;
        case QEvent::Close:
            // The window manager's close box; the program's own closing is not spontaneous.
            return event->spontaneous();
        default:
            return false;
        }
    }
};

} // namespace

// What the background thread and the task share: the task may be gone before the lookup ends.
struct CLookupTask::Shared
{
    std::mutex mutex;
    CLookupTask* task = nullptr;
};

CLookupTask::CLookupTask(int channel, bool modeFlag, const locator::StorageServers& servers,
                         std::optional<std::chrono::milliseconds> groupWithin, QObject* parent)
    : QObject(parent), m_channel(channel), m_shared(std::make_shared<Shared>())
{
    if (modeFlag) {
        Take(locator::FindChannel(channel, true, servers));
        return;
    }
    m_shared->task = this;
    background::Run([shared = m_shared, channel, servers, groupWithin] {
        const locator::LocateResult result =
            groupWithin ? locator::FindChannelOrGroup(channel, servers, *groupWithin)
                        : locator::FindChannel(channel, false, servers);
        const std::lock_guard lock(shared->mutex);
        if (shared->task != nullptr)
            QMetaObject::invokeMethod(
                shared->task, [task = shared->task, result] { task->Take(result); },
                Qt::QueuedConnection);
    });
}

CLookupTask::~CLookupTask()
{
    const std::lock_guard lock(m_shared->mutex);
    m_shared->task = nullptr;
}

void CLookupTask::Take(const locator::LocateResult& result)
{
    m_result = result;
    m_done = true;
    m_finishedAt = Clock::now();
    emit Finished();
}

void CLookupTask::WaitWithoutInput()
{
    if (m_done)
        return;
    const InputBlocker blocker;
    QEventLoop loop;
    connect(this, &CLookupTask::Finished, &loop, &QEventLoop::quit);
    loop.exec();
}
