// The live source: the snapshot and the live packets join without a gap or a repeat while the
// receiver keeps writing, Cancel unblocks a reader at once, a reader that falls behind is cut off
// rather than grown, and the pipe a player reads carries it whole and is let go at once whatever
// the player does.
#include "LiveSource.h"

#include "Captures.h"
#include "ChannelBuffer.h"
#include "SourcePipe.h"
#include "UniqueFd.h"
#include "WaitFor.h"

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <thread>

using namespace captures;
using namespace std::chrono_literals;
using fastzap::ChannelBuffer;
using fastzap::LiveSource;

namespace {

using Clock = std::chrono::steady_clock;

// Reads until the end of the stream (or an error), as libvlc's input thread would.
std::vector<std::uint8_t> ReadToEnd(LiveSource& source, ssize_t& last)
{
    std::vector<std::uint8_t> all;
    std::uint8_t buffer[5000];
    for (;;) {
        // An odd size, so that reads end inside packets.
        last = source.Read(buffer, 1000 + all.size() % 3001);
        if (last <= 0)
            return all;
        all.insert(all.end(), buffer, buffer + last);
    }
}

// --- snapshot, then live ---------------------------------------------------------------------

struct Join
{
    std::size_t openAfter; // datagrams the receiver has written when the player opens
    std::chrono::microseconds pace;
};

class SnapshotThenLive : public ::testing::TestWithParam<Join>
{};

TEST_P(SnapshotThenLive, HasNoGapAndNoRepeat)
{
    const Join j = GetParam();
    const auto bytes = ReadBytes("h264-audio.ts");
    const auto packets = ToPackets(bytes);
    const auto datagrams = Datagrams(bytes);
    ChannelBuffer channel;

    std::atomic<std::size_t> written{0};
    std::thread receiver([&] {
        for (const auto& d : datagrams) {
            channel.Push(d);
            written.fetch_add(1);
            if (j.pace.count() > 0)
                std::this_thread::sleep_for(j.pace);
        }
    });
    while (written.load() < j.openAfter)
        std::this_thread::yield();
    const auto source = channel.OpenSource();
    ASSERT_TRUE(source);
    ssize_t last = 0;
    auto reading = std::async(std::launch::async, [&] { return ReadToEnd(*source, last); });
    receiver.join();
    channel.Reset(); // the end of the stream: the reader gets what is queued, then 0
    ASSERT_EQ(reading.wait_for(10s), std::future_status::ready);
    const auto got = ToPackets(reading.get());
    EXPECT_EQ(last, 0);
    EXPECT_EQ(source->CurrentState(), LiveSource::State::Ended);

    // The PAT and the PMT first, then the capture from a keyframe to its very end.
    ASSERT_GE(got.size(), 3U);
    EXPECT_EQ(got[0].Pid(), 0);
    EXPECT_EQ(got[1].Pid(), kPmtPid);
    const auto keys = KeyPackets(ProbeVideo("h264-audio.ts"));
    const auto start = std::find(packets.begin(), packets.end(), got[2]);
    ASSERT_NE(start, packets.end());
    EXPECT_NE(std::find(keys.begin(), keys.end(), std::uint64_t(start - packets.begin())),
              keys.end())
        << "the group starts at packet " << start - packets.begin();
    EXPECT_EQ(std::vector<TsPacket>(got.begin() + 2, got.end()),
              std::vector<TsPacket>(start, packets.end()));

    // The copies of the PAT and the PMT in front continue into the group's own: a player sees
    // no discontinuity on any PID.
    std::map<std::uint16_t, std::uint8_t> counters;
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (!got[i].HasPayload())
            continue;
        const auto seen = counters.find(got[i].Pid());
        if (seen != counters.end()) {
            EXPECT_EQ(got[i].ContinuityCounter(), (seen->second + 1) % 16)
                << "PID " << got[i].Pid() << ", packet " << i;
        }
        counters[got[i].Pid()] = got[i].ContinuityCounter();
    }
}

INSTANTIATE_TEST_SUITE_P(fastzap, SnapshotThenLive,
                         ::testing::Values(Join{20, 0us}, Join{20, 300us}, Join{45, 100us},
                                           Join{64, 300us}, Join{90, 50us}, Join{110, 300us},
                                           Join{127, 0us}),
                         [](const auto& info) {
                             return "After" + std::to_string(info.param.openAfter) + "Pace" +
                                    std::to_string(info.param.pace.count()) + "us";
                         });

TEST(fastzap_OpenSource, IsNoneBeforeTheFirstKeyframe)
{
    const auto packets = ReadPackets("h264.ts");
    const auto keys = KeyPackets(ProbeVideo("h264.ts"));
    ChannelBuffer channel;
    // Everything up to the first keyframe's packet: PAT, PMT, no start point yet.
    channel.Push(ToBytes({packets.begin(), packets.begin() + std::ptrdiff_t(keys[0])}));
    EXPECT_FALSE(channel.HasRandomAccess());
    EXPECT_EQ(channel.OpenSource(), nullptr);
    channel.Push(ToBytes({packets.begin() + std::ptrdiff_t(keys[0]), packets.end()}));
    EXPECT_NE(channel.OpenSource(), nullptr);
}

// --- Cancel ----------------------------------------------------------------------------------

enum class CancelWhen
{
    BeforeRead,
    WhileBlocked,
    AfterPartialRead
};

class Cancelling : public ::testing::TestWithParam<CancelWhen>
{};

TEST_P(Cancelling, EndsEveryReadAtOnce)
{
    const CancelWhen when = GetParam();
    ChannelBuffer channel;
    channel.Push(ReadBytes("h264.ts"));
    const auto source = channel.OpenSource();
    ASSERT_TRUE(source);
    const std::size_t snapshot = source->QueuedBytes();
    ASSERT_GT(snapshot, 1000U);

    std::uint8_t buffer[1000];
    if (when == CancelWhen::BeforeRead)
        source->Cancel();
    if (when == CancelWhen::AfterPartialRead) {
        ASSERT_EQ(source->Read(buffer, 100), 100);
        source->Cancel();
    }
    std::atomic<bool> reading{false};
    auto reader = std::async(std::launch::async, [&] {
        std::vector<std::uint8_t> sink(snapshot + 1);
        ssize_t n = 0;
        std::size_t total = 0;
        do {
            reading = true;
            n = source->Read(sink.data(), sink.size());
            total += std::size_t(std::max<ssize_t>(n, 0));
        } while (n > 0);
        return std::make_pair(n, total);
    });
    if (when == CancelWhen::WhileBlocked) {
        // The reader has taken the whole snapshot and waits for live packets that never come.
        const auto deadline = Clock::now() + 10s;
        while (!(reading && source->QueuedBytes() == 0) && Clock::now() < deadline)
            std::this_thread::yield();
        ASSERT_EQ(reader.wait_for(50ms), std::future_status::timeout) << "read did not block";
        source->Cancel();
    }
    const auto cancelled = Clock::now();
    ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
    EXPECT_LT(Clock::now() - cancelled, 1s);
    const auto [result, total] = reader.get();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(total, when == CancelWhen::WhileBlocked ? snapshot : 0U);

    // Later reads end at once too, and what arrives is not kept.
    EXPECT_EQ(source->Read(buffer, sizeof buffer), 0);
    channel.Push(ReadBytes("h264.ts"));
    EXPECT_EQ(source->QueuedBytes(), 0U);
    EXPECT_EQ(source->CurrentState(), LiveSource::State::Cancelled);
}

INSTANTIATE_TEST_SUITE_P(fastzap, Cancelling,
                         ::testing::Values(CancelWhen::BeforeRead, CancelWhen::WhileBlocked,
                                           CancelWhen::AfterPartialRead),
                         [](const auto& info) {
                             return info.param == CancelWhen::BeforeRead     ? "BeforeRead"
                                    : info.param == CancelWhen::WhileBlocked ? "WhileBlocked"
                                                                             : "AfterPartialRead";
                         });

// --- a slow reader ---------------------------------------------------------------------------

class SlowReader : public ::testing::TestWithParam<std::size_t>
{};

// Nothing is read: the source keeps the snapshot and up to maxBehind live bytes, then ends.
TEST_P(SlowReader, IsCutOffPastTheBound)
{
    const std::size_t maxBehind = GetParam();
    const auto bytes = ReadBytes("mpeg2.ts");
    const auto datagrams = Datagrams(bytes);
    ChannelBuffer channel({}, maxBehind);
    channel.Push(bytes);
    const auto source = channel.OpenSource();
    ASSERT_TRUE(source);
    const std::size_t snapshot = source->QueuedBytes();

    // Read over half of it (so that what is read is dropped from the queue as packets come):
    // what is read of the snapshot does not make room for more live bytes.
    std::vector<std::uint8_t> buffer(snapshot / 2 + 1000);
    ASSERT_EQ(source->Read(buffer.data(), buffer.size()), ssize_t(buffer.size()));

    std::size_t live = 0;
    for (std::size_t i = 0; source->CurrentState() == LiveSource::State::Open; ++i) {
        ASSERT_LT(live, maxBehind + std::size_t(2) * 1316) << "never cut off";
        const auto& d = datagrams[i % datagrams.size()];
        channel.Push(d);
        live += d.size();
        if (live <= maxBehind) {
            ASSERT_EQ(source->QueuedBytes(), snapshot - buffer.size() + live);
        }
    }
    EXPECT_GT(live, maxBehind);
    EXPECT_EQ(source->CurrentState(), LiveSource::State::Overflowed);
    EXPECT_EQ(source->QueuedBytes(), 0U);
    EXPECT_EQ(source->Read(buffer.data(), buffer.size()), -1);
    // The channel goes on, and a new source starts afresh.
    const auto fresh = channel.OpenSource();
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->CurrentState(), LiveSource::State::Open);
}

INSTANTIATE_TEST_SUITE_P(fastzap, SlowReader,
                         ::testing::Values(std::size_t(16) << 10, std::size_t(256) << 10,
                                           std::size_t(4) << 20),
                         [](const auto& info) { return std::to_string(info.param >> 10) + "KiB"; });

// --- the pipe a player reads ----------------------------------------------------------------

// What the player does with the pipe while the source still has bytes for it.
enum class Player
{
    ReadsToTheEnd, // reads until the source ends: every byte, in order
    NeverReads,    // holds the pipe open, reads nothing: the copy waits for room for ever
    NeverOpens     // the pipe is let go before the player opened it
};

class Pipe : public ::testing::TestWithParam<Player>
{};

TEST_P(Pipe, CarriesTheSourceAndIsLetGoPromptly)
{
    // Far more than a pipe holds (4 KiB here; 1 MiB at most), each packet told apart by its bytes.
    std::vector<fastzap::TsPacket> packets(8000);
    std::vector<std::uint8_t> expected;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        packets[i].bytes.fill(std::uint8_t(i * 7));
        packets[i].bytes[0] = fastzap::kSyncByte;
        expected.insert(expected.end(), packets[i].bytes.begin(), packets[i].bytes.end());
    }
    const auto source = std::make_shared<LiveSource>(std::move(packets), 1);
    auto pipe = fastzap::SourcePipe::Start(source);
    ASSERT_TRUE(pipe);

    std::future<std::vector<std::uint8_t>> reading;
    posix::UniqueFd held;
    if (GetParam() != Player::NeverOpens) {
        held.reset(::open(pipe->Path().c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(held.valid()) << pipe->Path();
    }
    if (GetParam() == Player::ReadsToTheEnd) {
        reading = std::async(std::launch::async, [fd = held.get()] {
            std::vector<std::uint8_t> all;
            std::uint8_t buffer[4096];
            // Bounded, so that a failed check below does not leave the test waiting here.
            pollfd ready{fd, POLLIN, 0};
            while (::poll(&ready, 1, 10000) == 1) {
                const ssize_t got = ::read(fd, buffer, sizeof buffer);
                if (got <= 0)
                    break;
                all.insert(all.end(), buffer, buffer + got);
            }
            return all;
        });
        source->End(); // the player reads what is left, then the end of the stream
        ASSERT_EQ(reading.wait_for(10s), std::future_status::ready);
        EXPECT_TRUE(reading.get() == expected);
    } else {
        // A read of the source (64 KiB) taken, its copy waiting for room in a full pipe.
        ASSERT_TRUE(
            WaitFor([&] { return source->QueuedBytes() + (64 << 10) <= expected.size(); }, 10s));
    }
    // The pipe is let go without waiting on the source or for room in the pipe, and no signal
    // ends the program: whether the player has stopped, its end closed, or hangs holding it.
    if (GetParam() != Player::NeverReads)
        held.reset();
    const auto letGo = Clock::now();
    pipe.reset();
    EXPECT_LT(Clock::now() - letGo, 2s);
    EXPECT_EQ(source->CurrentState(), LiveSource::State::Cancelled); // the channel stops feeding it
}

const char* const kPlayerNames[] = {"ReadsToTheEnd", "NeverReads", "NeverOpens"};

INSTANTIATE_TEST_SUITE_P(fastzap, Pipe,
                         ::testing::Values(Player::ReadsToTheEnd, Player::NeverReads,
                                           Player::NeverOpens),
                         [](const auto& info) { return kPlayerNames[int(info.param)]; });

} // namespace
