#pragma once

#include "Hub.h"

#include <chrono>
#include <memory>
#include <poll.h>
#include <vector>

namespace relay::detail {

// New connections, while their request head is read: outside the connection slots, on the
// accepting thread, without a thread each. A connection reaches a slot only with a whole head
// that names a live route; the rest is answered (400, 404, 405, 410) or dropped here.
//
// A stranger on the machine can open connections and send nothing; each is dropped after
// Limits::firstByteTimeout without a byte, or Limits::headTimeout without a whole head, and at
// most kMaxWaitingHeads wait at once: a new connection beyond that pushes out the one that has
// waited longest. libvlc sends its head as soon as it connects, so it is never the oldest.
class Doorway
{
public:
    static constexpr std::size_t kMaxWaitingHeads = 64;

    explicit Doorway(std::shared_ptr<Hub> hub) : m_hub(std::move(hub)) {}
    // Cuts every connection still waiting: it ends with a reset, as a cut connection does.
    ~Doorway();
    Doorway(const Doorway&) = delete;
    Doorway& operator=(const Doorway&) = delete;

    using Clock = std::chrono::steady_clock;

    // Takes a new connection (non-blocking) and reads what it has sent already.
    void Add(posix::UniqueFd client, Clock::time_point now);
    // One pollfd per waiting connection, appended to `polls`.
    void Watch(std::vector<pollfd>& polls) const;
    // Reads the connections `polls` (from Watch, in order) found ready, and drops those whose
    // time is up.
    void Serve(const pollfd* polls, std::size_t count, Clock::time_point now);
    // When the next connection's time is up, if any waits.
    std::optional<Clock::time_point> NextDeadline() const;

    std::size_t Waiting() const { return m_waiting.size(); }

private:
    struct Entry
    {
        posix::UniqueFd socket;
        Clock::time_point arrived;
        QByteArray head;
    };

    // Reads what there is; false when the connection is done with (answered or dropped).
    bool read(Entry& entry);
    void dispatch(Entry& entry, const QByteArray& head);
    Clock::time_point deadline(const Entry& entry) const;

    std::shared_ptr<Hub> m_hub;
    std::vector<Entry> m_waiting; // oldest first
};

} // namespace relay::detail
