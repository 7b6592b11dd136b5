#pragma once

#include "ChannelFallback.h"
#include "ChannelPlayback.h"

#include <QStringList>
#include <chrono>
#include <deque>
#include <optional>

// What the panel of figures over the picture (the I key) is made from.
struct PanelFigures
{
    CChannelPlayback::Figures playback;
    std::optional<std::chrono::seconds> pendingReopen; // a stopped stream waits this long
    std::chrono::milliseconds untilReopen{0};
    std::chrono::seconds backoff{0};  // the wait the next stop would bring
    std::optional<double> behindLive; // seconds
    CChannelFallback::State fallback = CChannelFallback::State::Off;
    std::chrono::milliseconds untilRetry{0};
};

// The panel's lines, in the program's Chinese.
QStringList PanelLines(const PanelFigures& figures);

// How far behind live a multicast picture is, in seconds: the newest video timestamp that
// arrived at the receiver, less the shown picture's, which is the first timestamp libvlc read
// from the buffered group of pictures plus libvlc's time. libvlc moves its time in steps of a
// few hundred milliseconds, so the panel shows the mean of the last few readings. None for a
// player that reads the group itself (its first timestamp is libvlc's alone) or an HLS stream.
class BehindLive
{
public:
    static constexpr std::size_t kReadings = 4;

    void Reset() { m_readings.clear(); }
    void Note(const CChannelPlayback::Figures& figures, std::optional<std::uint64_t> newest);
    std::optional<double> Mean() const;

private:
    std::deque<double> m_readings;
};
