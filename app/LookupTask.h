#pragma once

#include "ChannelLookup.h"

#include <QObject>
#include <chrono>
#include <memory>
#include <optional>

// One channel lookup (probe, download, scan) running on a background thread, so that the
// windows go on painting and answering the window manager while a server takes its time.
// Multicast addresses need no network and are ready at once.
class CLookupTask : public QObject
{
    Q_OBJECT

public:
    using Clock = std::chrono::steady_clock;

    // With `groupWithin`, a storage-server lookup that finds no address gives the channel's
    // multicast group instead when the group carries data within that time
    // (locator::FindChannelOrGroup).
    CLookupTask(int channel, bool modeFlag, const locator::StorageServers& servers,
                std::optional<std::chrono::milliseconds> groupWithin = std::nullopt,
                QObject* parent = nullptr);
    // A lookup still running goes on in the background; its result is dropped.
    ~CLookupTask() override;

    int Channel() const { return m_channel; }
    bool IsDone() const { return m_done; }
    // The outcome, once done.
    const locator::LocateResult& Result() const { return m_result; }
    Clock::time_point FinishedAt() const { return m_finishedAt; }

    // Runs the event loop until the lookup is done. The viewer's clicks and keys do nothing
    // meanwhile, in every window, as when the lookup ran on this thread; windows still paint.
    void WaitWithoutInput();

signals:
    void Finished();

private:
    struct Shared;

    void Take(const locator::LocateResult& result);

    const int m_channel;
    std::shared_ptr<Shared> m_shared;
    bool m_done = false;
    locator::LocateResult m_result;
    Clock::time_point m_finishedAt;
};
