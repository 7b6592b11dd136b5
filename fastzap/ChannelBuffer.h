#pragma once

#include "CatchUp.h"
#include "ChannelCore.h"
#include "LiveSource.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace fastzap {

// What a channel holds at one moment, copied out.
struct Snapshot
{
    std::vector<TsPacket> psi; // the latest PAT, then the PMT it points to
    std::vector<TsPacket> gop; // the packets since the latest start point; empty when none
    std::optional<PmtInfo> pmt;
    std::optional<std::uint64_t> keyframeInterval; // 90 kHz ticks
    CoreStats stats;
};

// One channel's buffer, shared between the receiver thread that writes it and the threads that
// read it. Everything is under one lock, held briefly: the receiver takes it once a datagram.
class ChannelBuffer
{
public:
    // `maxBehind`: how many live bytes a source's reader may leave unread (LiveSource).
    // `catchUp`: a source's stream is squeezed and paced so that its player reaches live
    // (CatchUp.h); without it the group is handed over at once as it was sent.
    explicit ChannelBuffer(BufferLimits limits = {}, std::size_t maxBehind = kDefaultMaxBehind,
                           std::optional<CatchUpLimits> catchUp = std::nullopt);

    static constexpr std::size_t kDefaultMaxBehind = std::size_t(4) << 20;

    // The receiver thread: one datagram's bytes (or any piece of the stream).
    void Push(std::span<const std::uint8_t> bytes);

    // A source that starts with the PAT, PMT and group of pictures held now and goes on with
    // every packet that arrives after them; none while the channel has no start point, or when
    // nothing has arrived for `maxSilence` (a sender that stopped leaves its last group behind,
    // and a player given it would show a still picture from the past).
    std::shared_ptr<LiveSource>
    OpenSource(std::chrono::milliseconds maxSilence = std::chrono::milliseconds::max());

    bool HasRandomAccess() const;
    Snapshot Take() const;
    CoreStats Stats() const;
    std::optional<std::uint64_t> LatestTimestamp() const;

    // Forgets the stream (the receiver stopped or restarts) and ends every open source: their
    // readers get what is queued and then the end of the stream.
    void Reset();

private:
    mutable std::mutex m_mutex;
    ChannelCore m_core;
    std::size_t m_maxBehind;
    std::optional<CatchUpLimits> m_catchUp;
    std::vector<TsPacket> m_live;
    std::vector<std::weak_ptr<LiveSource>> m_sources;
    std::chrono::steady_clock::time_point m_lastArrival{};
};

} // namespace fastzap
