#include "LiveSource.h"

#include <algorithm>
#include <cstring>

namespace fastzap {

namespace {

// The player's clock starts a little after its first picture is shown: once its second is
// decoded, and libvlc allows its threads 10 ms more to wake up.
constexpr std::chrono::milliseconds kClockStart{20};

} // namespace

LiveSource::LiveSource(std::vector<TsPacket> start, std::size_t maxBehind,
                       std::optional<CatchUp> catchUp, std::chrono::milliseconds pictureWait)
    : m_queue(std::move(start)), m_startUnread(m_queue.size() * kPacketSize),
      m_startBytes(m_startUnread), m_maxBehind(maxBehind), m_catchUp(std::move(catchUp)),
      m_pictureWait(pictureWait)
{
    if (m_catchUp && m_catchUp->Done())
        m_catchUp.reset();
}

void LiveSource::Forget()
{
    m_queue.clear();
    m_queue.shrink_to_fit();
    m_readPacket = m_readOffset = 0;
    m_headStepped = false;
    m_headDue.reset();
}

void LiveSource::Cancel()
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_state == State::Open || m_state == State::Ended)
            m_state = State::Cancelled;
        Forget();
    }
    m_ready.notify_all();
}

void LiveSource::End()
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_state == State::Open)
            m_state = State::Ended;
    }
    m_ready.notify_all();
}

LiveSource::State LiveSource::CurrentState() const
{
    const std::lock_guard lock(m_mutex);
    return m_state;
}

bool LiveSource::Accepting() const
{
    return CurrentState() == State::Open;
}

bool LiveSource::AwaitsPaceStart() const
{
    const std::lock_guard lock(m_mutex);
    return !m_paceStart && (m_catchUp || m_leadTaken);
}

void LiveSource::PictureShown()
{
    {
        const std::lock_guard lock(m_mutex);
        if (!m_pictureShown)
            m_pictureShown = Clock::now();
    }
    m_ready.notify_all();
}

std::size_t LiveSource::QueuedBytes() const
{
    const std::lock_guard lock(m_mutex);
    return (m_queue.size() - m_readPacket) * kPacketSize - m_readOffset;
}

void LiveSource::Append(std::span<const TsPacket> packets)
{
    if (packets.empty())
        return;
    {
        const std::lock_guard lock(m_mutex);
        if (m_state != State::Open)
            return;
        const std::size_t queued = (m_queue.size() - m_readPacket) * kPacketSize - m_readOffset;
        const std::size_t live = queued - std::min(queued, m_startUnread);
        // Live packets a catch-up holds back until they are due are not the reader's lag, up to
        // the group's size: the hold spans the group's squeezed time and the player's start, and
        // what a very slow start holds beyond that counts against the bound.
        const std::size_t held = m_catchUp && !m_catchUp->Met() ? m_startBytes : 0;
        if (live + packets.size() * kPacketSize > m_maxBehind + held) {
            m_state = State::Overflowed;
            Forget();
        } else {
            // Read packets are dropped from the front once they are the larger part, so the queue
            // costs about what is unread.
            if (m_readPacket > 64 && m_readPacket * 2 > m_queue.size()) {
                m_queue.erase(m_queue.begin(), m_queue.begin() + std::ptrdiff_t(m_readPacket));
                m_readPacket = 0;
            }
            m_queue.insert(m_queue.end(), packets.begin(), packets.end());
        }
    }
    m_ready.notify_all();
}

std::size_t LiveSource::CopyDue(std::uint8_t* buffer, std::size_t length, Clock::time_point now,
                                std::optional<Clock::time_point>& wake)
{
    std::size_t copied = 0;
    while (copied < length && m_readPacket < m_queue.size()) {
        TsPacket& packet = m_queue[m_readPacket];
        if (m_catchUp && !m_headStepped) {
            const CatchUp::Step step = m_catchUp->Next(packet);
            if (m_catchUp->Done())
                m_catchUp.reset();
            if (!step.keep) {
                ++m_readPacket;
                m_startUnread -= std::min(m_startUnread, kPacketSize);
                continue;
            }
            m_headStepped = true;
            if (step.due && *step.due > 0) {
                m_leadTaken = true;
                m_headDue = std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(*step.due));
            }
        }
        if (m_headDue) {
            // The lead ends here: what follows is paced from the pace's start (Read).
            if (!m_paceStart)
                break;
            if (*m_paceStart + *m_headDue > now) {
                wake = *m_paceStart + *m_headDue;
                break;
            }
            m_headDue.reset();
        }
        const std::size_t take = std::min(length - copied, kPacketSize - m_readOffset);
        std::memcpy(buffer + copied, packet.bytes.data() + m_readOffset, take);
        copied += take;
        m_readOffset += take;
        if (m_readOffset == kPacketSize) {
            m_readOffset = 0;
            m_headStepped = false;
            ++m_readPacket;
        }
    }
    m_startUnread -= std::min(m_startUnread, copied);
    if (m_readPacket == m_queue.size()) {
        m_queue.clear();
        m_readPacket = 0;
    }
    return copied;
}

ssize_t LiveSource::Read(std::uint8_t* buffer, std::size_t length)
{
    if (length == 0)
        return 0;
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (m_state == State::Cancelled)
            return 0;
        if (m_state == State::Overflowed)
            return -1;
        const Clock::time_point now = Clock::now();
        std::optional<Clock::time_point> wake;
        const bool shown = m_pictureShown.has_value();
        if (m_leadTaken && !m_paceStart) {
            m_leadRead = m_leadRead.value_or(now);
            Clock::time_point start = *m_leadRead + m_pictureWait;
            if (m_pictureShown)
                start = std::min(start, *m_pictureShown + kClockStart);
            start = std::max(start, *m_leadRead);
            if (now >= start) {
                m_paceStart = start;
                // The live packets have been coming since the source was opened.
                if (m_catchUp)
                    m_catchUp->StartedAfter(
                        std::chrono::duration<double>(start - m_opened).count());
            } else {
                wake = start;
            }
        }
        const std::size_t copied = CopyDue(buffer, length, now, wake);
        if (copied > 0)
            return ssize_t(copied);
        const auto wakeUp = [this, shown] {
            return m_state == State::Cancelled || m_state == State::Overflowed ||
                   m_pictureShown.has_value() != shown;
        };
        if (wake)
            m_ready.wait_until(lock, *wake, wakeUp);
        else if (m_state == State::Ended && m_readPacket == m_queue.size())
            return 0;
        else if (!m_leadTaken || m_paceStart)
            m_ready.wait(lock,
                         [&] { return m_state != State::Open || m_readPacket < m_queue.size(); });
    }
}

} // namespace fastzap
