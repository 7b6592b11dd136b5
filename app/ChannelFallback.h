#pragma once

#include "ChannelLookup.h"
#include "GroupHealth.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class CChannelPlayback;
class CLookupTask;

namespace fastzap {
class LiveSource;
class Receivers;
} // namespace fastzap

// One multicast group as the program receives it beside the player: what its receiver counted,
// the newest video timestamp that came, and its buffered group of pictures for a player.
class GroupTap
{
public:
    virtual ~GroupTap() = default;
    virtual fastzap::GroupSample Sample() const = 0;
    // The newest video timestamp that arrived (90 kHz ticks); none before one.
    virtual std::optional<std::uint64_t> NewestTimestamp() const = 0;
    // A player's source starting with the buffered group of pictures; none without one.
    virtual std::shared_ptr<fastzap::LiveSource> OpenSource() = 0;
};

// `index` of receivers that go on receiving whatever the tap does (fast channel change's).
std::shared_ptr<GroupTap> TapReceivers(std::shared_ptr<fastzap::Receivers> receivers,
                                       std::size_t index);
// A receiver of the tap's own, in `channel`'s group for as long as the tap lives.
std::shared_ptr<GroupTap> TapOwnReceiver(int channel);

// Keeps a multicast channel playing from its other source. While the window plays the
// channel's group, the group's receiver is sampled; once the group has carried nothing for 2 s
// (from the window's opening, or mid-play), the channel is looked up on its storage server as a
// click in storage-server mode would, without boxes, on a worker thread, and the window is asked
// to play that address instead. A lookup that fails changes nothing and is made again while the
// group stays silent, 5 s later, then after twice the last wait, at most a minute.
//
// The group goes on being watched. Once it has carried its pictures for 10 s without a break,
// a player of its own is prepared on the group's buffered group of pictures, unseen and
// unheard, and handed to the window when its first picture is ready: the storage stream shows
// until then, so the switch back has no gap. A prepared player that shows nothing within 5 s is
// let go and tried again 5 s later.
class CChannelFallback : public QObject
{
    Q_OBJECT

public:
    struct Timing
    {
        fastzap::GroupHealth::Limits health;
        std::chrono::milliseconds tick{250};
        std::chrono::milliseconds firstRetry{5000};
        std::chrono::milliseconds longestRetry{60000};
        std::chrono::milliseconds returnWithin{5000};
    };

    enum class State
    {
        Off,       // not a multicast channel, or no fallback
        Group,     // the group plays
        LookingUp, // the group is silent; the storage server is being asked
        Waiting,   // the lookup failed; it is made again at UntilRetry()
        Storage,   // the storage server's stream plays
        Returning, // the storage stream plays; the group's player is being prepared
    };

    // Makes the group's player for the way back, set up as the window's own (audio, area).
    using PlaybackFactory = std::function<std::unique_ptr<CChannelPlayback>()>;

    explicit CChannelFallback(QObject* parent = nullptr);
    ~CChannelFallback() override;

    void SetServers(const locator::StorageServers& servers) { m_servers = servers; }
    void SetTiming(const Timing& timing);
    void SetPlaybackFactory(PlaybackFactory factory) { m_factory = std::move(factory); }

    // The window plays `channel` from its group, received through `tap`, from now on; a null
    // tap turns the fallback off.
    void Follow(int channel, std::shared_ptr<GroupTap> tap);
    void Stop();

    State CurrentState() const { return m_state; }
    const Timing& timing() const { return m_timing; }
    // The storage server's address, while it plays.
    QString StorageAddress() const { return m_storage; }
    // Time left before the lookup is made again, while it waits.
    std::chrono::milliseconds UntilRetry() const;
    // The group's player being prepared, until it is taken.
    CChannelPlayback* Returning() const { return m_return.get(); }
    // The group's player, once ReturnReady has been emitted.
    std::unique_ptr<CChannelPlayback> TakeReturn();

signals:
    // The group is silent: the window plays `address` instead.
    void UseStorage(const QString& address);
    // The group's player shows its first picture: the window takes it (TakeReturn).
    void ReturnReady();

private:
    using Time = fastzap::GroupHealth::Time;
    static Time Now();

    void Tick();
    void StartLookup();
    void OnLookup();
    void PrepareReturn(Time now);
    void DropReturn();

    locator::StorageServers m_servers;
    Timing m_timing;
    PlaybackFactory m_factory;
    int m_channel = 0;
    std::shared_ptr<GroupTap> m_tap;
    fastzap::GroupHealth m_health;
    State m_state = State::Off;
    QString m_storage;
    std::unique_ptr<CLookupTask> m_lookup;
    std::chrono::milliseconds m_retry{0};
    Time m_retryAt{};
    Time m_nextReturn{};
    Time m_returnDeadline{};
    std::unique_ptr<CChannelPlayback> m_return;
    bool m_returnReady = false;
    QTimer m_ticks;
};
