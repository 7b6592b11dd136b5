#include "ChannelFallback.h"

#include "ChannelPlayback.h"
#include "LookupTask.h"
#include "Receivers.h"
#include "Verbose.h"

#include <algorithm>

namespace {

class ReceiversTap : public GroupTap
{
public:
    ReceiversTap(std::shared_ptr<fastzap::Receivers> receivers, std::size_t index)
        : m_receivers(std::move(receivers)), m_index(index)
    {}

    fastzap::GroupSample Sample() const override
    {
        fastzap::ChannelBuffer& buffer = m_receivers->Channel(m_index);
        return {m_receivers->ChannelStatus(m_index).datagrams, buffer.Stats().randomAccessPoints,
                buffer.HasRandomAccess()};
    }
    std::optional<std::uint64_t> NewestTimestamp() const override
    {
        return m_receivers->Channel(m_index).LatestTimestamp();
    }
    std::shared_ptr<fastzap::LiveSource> OpenSource() override
    {
        return m_receivers->OpenSource(m_index);
    }

private:
    std::shared_ptr<fastzap::Receivers> m_receivers;
    std::size_t m_index;
};

} // namespace

std::shared_ptr<GroupTap> TapReceivers(std::shared_ptr<fastzap::Receivers> receivers,
                                       std::size_t index)
{
    if (!receivers || index >= receivers->size())
        return nullptr;
    return std::make_shared<ReceiversTap>(std::move(receivers), index);
}

std::shared_ptr<GroupTap> TapOwnReceiver(int channel)
{
    // A receiver that cannot join its group counts nothing, which reads as a silent group.
    auto receivers = std::make_shared<fastzap::Receivers>(std::vector<fastzap::GroupAddress>{
        {locator::MulticastGroup(channel).toStdString(), locator::kMulticastPort}});
    receivers->Start();
    return TapReceivers(std::move(receivers), 0);
}

CChannelFallback::CChannelFallback(QObject* parent) : QObject(parent)
{
    m_ticks.setInterval(m_timing.tick);
    connect(&m_ticks, &QTimer::timeout, this, &CChannelFallback::Tick);
}

CChannelFallback::~CChannelFallback()
{
    Stop();
}

void CChannelFallback::SetTiming(const Timing& timing)
{
    m_timing = timing;
    m_health = fastzap::GroupHealth(timing.health);
    m_ticks.setInterval(timing.tick);
}

CChannelFallback::Time CChannelFallback::Now()
{
    return std::chrono::duration_cast<Time>(std::chrono::steady_clock::now().time_since_epoch());
}

void CChannelFallback::Follow(int channel, std::shared_ptr<GroupTap> tap)
{
    Stop();
    if (!tap)
        return;
    m_channel = channel;
    m_tap = std::move(tap);
    m_health = fastzap::GroupHealth(m_timing.health);
    m_health.Start(Now(), m_tap->Sample());
    m_state = State::Group;
    m_retry = std::chrono::milliseconds(0);
    m_ticks.start();
}

void CChannelFallback::Stop()
{
    m_ticks.stop();
    m_lookup.reset(); // a lookup under way finishes in the background, unheard
    DropReturn();
    m_tap.reset();
    m_storage.clear();
    m_state = State::Off;
}

std::chrono::milliseconds CChannelFallback::UntilRetry() const
{
    if (m_state != State::Waiting)
        return std::chrono::milliseconds(0);
    return std::max(Time(0), m_retryAt - Now());
}

std::unique_ptr<CChannelPlayback> CChannelFallback::TakeReturn()
{
    if (!m_returnReady)
        return nullptr;
    m_returnReady = false;
    m_return->disconnect(this);
    m_state = State::Group;
    m_storage.clear();
    m_retry = std::chrono::milliseconds(0);
    return std::move(m_return);
}

void CChannelFallback::Tick()
{
    const Time now = Now();
    m_health.Push(now, m_tap->Sample());
    switch (m_state) {
    case State::Group:
        if (m_health.Silent(now))
            StartLookup();
        break;
    case State::Waiting:
        if (!m_health.Silent(now)) {
            m_state = State::Group; // it came back before any other source was found
            m_retry = std::chrono::milliseconds(0);
        } else if (now >= m_retryAt) {
            StartLookup();
        }
        break;
    case State::Storage:
        if (now >= m_nextReturn && m_health.Recovered(now))
            PrepareReturn(now);
        break;
    case State::Returning:
        if (!m_returnReady && (m_health.Silent(now) || now >= m_returnDeadline)) {
            Trace(QStringLiteral("fallback: the group's player of channel %1 showed nothing; "
                                 "the storage server's stream goes on")
                      .arg(m_channel));
            DropReturn();
            m_state = State::Storage;
            m_nextReturn = now + m_timing.firstRetry;
        }
        break;
    case State::Off:
    case State::LookingUp:
        break;
    }
}

void CChannelFallback::StartLookup()
{
    Trace(QStringLiteral("fallback: group of channel %1 silent for %2 ms; asking its storage "
                         "server")
              .arg(m_channel)
              .arg(m_timing.health.silence.count()));
    m_state = State::LookingUp;
    m_lookup = std::make_unique<CLookupTask>(m_channel, false, m_servers);
    connect(m_lookup.get(), &CLookupTask::Finished, this, &CChannelFallback::OnLookup);
}

void CChannelFallback::OnLookup()
{
    if (m_state != State::LookingUp || !m_lookup)
        return;
    const std::unique_ptr<CLookupTask> lookup = std::move(m_lookup);
    const locator::LocateResult& result = lookup->Result();
    const Time now = Now();
    if (!m_health.Silent(now)) {
        // The group came back while the server was asked: it plays on.
        m_state = State::Group;
        m_retry = std::chrono::milliseconds(0);
        return;
    }
    if (!result.address) {
        m_retry = m_retry.count() == 0 ? m_timing.firstRetry
                                       : std::min(m_retry * 2, m_timing.longestRetry);
        m_retryAt = now + m_retry;
        m_state = State::Waiting;
        Trace(QStringLiteral("fallback: the storage server gave no address for channel %1 (%2); "
                             "asking again in %3 ms")
                  .arg(m_channel)
                  .arg(locator::FailureMessage(result.failure))
                  .arg(m_retry.count()));
        return;
    }
    m_storage = *result.address;
    m_state = State::Storage;
    m_nextReturn = now;
    Trace(QStringLiteral("fallback: channel %1 plays %2 instead").arg(m_channel).arg(m_storage));
    emit UseStorage(m_storage);
}

void CChannelFallback::PrepareReturn(Time now)
{
    if (!m_factory)
        return;
    m_return = m_factory();
    if (!m_return)
        return;
    Trace(QStringLiteral("fallback: group of channel %1 has carried its pictures for %2 ms; "
                         "preparing its player")
              .arg(m_channel)
              .arg(m_health.CarryingFor(now).value_or(Time(0)).count()));
    m_state = State::Returning;
    m_returnDeadline = now + m_timing.returnWithin;
    // The way back starts from the group's buffered pictures, whatever the window's own
    // players start from. The window keeps this player for the channels it is switched to
    // next: those start as its own players would. The tap is not kept for them: a receiver of
    // its own (without fast channel change) would stay in the group after the window has left it.
    m_return->SetFastSources([tap = std::weak_ptr<GroupTap>(m_tap),
                              group = locator::MulticastAddress(m_channel),
                              theirs = m_return->CurrentFastSources()](const QString& address) {
        if (const std::shared_ptr<GroupTap> held = tap.lock(); held && address == group)
            return held->OpenSource();
        return theirs ? theirs(address) : nullptr;
    });
    connect(m_return.get(), &CChannelPlayback::PicturesStarted, this, [this] {
        if (m_state != State::Returning || m_returnReady)
            return;
        m_returnReady = true;
        Trace(QStringLiteral("fallback: channel %1 back on its group").arg(m_channel));
        emit ReturnReady();
    });
    m_return->Open(locator::MulticastAddress(m_channel));
}

void CChannelFallback::DropReturn()
{
    m_returnReady = false;
    if (m_return) {
        m_return->disconnect(this);
        m_return.reset(); // its player is let go off this thread
    }
}
