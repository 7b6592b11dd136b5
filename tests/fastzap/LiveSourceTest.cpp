// The live source: the snapshot and the live packets join without a gap or a repeat while the
// receiver keeps writing, a reader that falls behind is cut off rather than grown, and the pipe a
// player reads carries it whole and is let go (cancelling the source, which ends any read at
// once) whatever the player does.
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
#include <poll.h>
#include <thread>

using namespace captures;
using namespace std::chrono_literals;
using fastzap::ChannelBuffer;
using fastzap::LiveSource;

namespace {

using Clock = std::chrono::steady_clock;

// The player opens after the receiver has written so many datagrams, while it goes on writing at
// this pace.
TEST(fastzap_LiveSource, SnapshotThenLiveHasNoGapAndNoRepeat)
{
    const auto bytes = ReadBytes("h264-audio.ts");
    const auto packets = ToPackets(bytes);
    const auto datagrams = Datagrams(bytes);
    const auto keys = KeyPackets(ProbeVideo("h264-audio.ts"));
    for (const auto& [openAfter, pace] :
         {std::pair{20, 0us}, std::pair{20, 300us}, std::pair{45, 100us}, std::pair{64, 300us},
          std::pair{90, 50us}, std::pair{110, 300us}, std::pair{127, 0us}}) {
        SCOPED_TRACE(::testing::Message() << "after " << openAfter << ", pace " << pace.count());
        ChannelBuffer channel;
        std::atomic<int> written{0};
        std::thread receiver([&, pace = pace] {
            for (const auto& d : datagrams) {
                channel.Push(d);
                written.fetch_add(1);
                std::this_thread::sleep_for(pace);
            }
        });
        while (written.load() < openAfter)
            std::this_thread::yield();
        const auto source = channel.OpenSource();
        // Reads until the end of the stream (or an error), as libvlc's input thread would, in
        // odd sizes, so that reads end inside packets.
        ssize_t last = 0;
        auto reading = std::async(std::launch::async, [&] {
            std::vector<std::uint8_t> all;
            std::uint8_t buffer[5000];
            while (source && (last = source->Read(buffer, 1000 + all.size() % 3001)) > 0)
                all.insert(all.end(), buffer, buffer + last);
            return all;
        });
        receiver.join();
        channel.Reset(); // the end of the stream: the reader gets what is queued, then 0
        ASSERT_TRUE(source);
        ASSERT_EQ(reading.wait_for(10s), std::future_status::ready);
        const auto got = ToPackets(reading.get());
        EXPECT_EQ(last, 0);
        EXPECT_EQ(source->CurrentState(), LiveSource::State::Ended);

        // The PAT and the PMT first, then the capture from a keyframe to its very end.
        ASSERT_GE(got.size(), 3U);
        EXPECT_EQ(got[0].Pid(), 0);
        EXPECT_EQ(got[1].Pid(), kPmtPid);
        const auto start = std::find(packets.begin(), packets.end(), got[2]);
        ASSERT_NE(start, packets.end());
        EXPECT_NE(std::find(keys.begin(), keys.end(), std::uint64_t(start - packets.begin())),
                  keys.end())
            << "the group starts at packet " << start - packets.begin();
        EXPECT_EQ(std::vector<TsPacket>(got.begin() + 2, got.end()),
                  std::vector<TsPacket>(start, packets.end()));

        // The copies of the PAT and the PMT in front continue into the group's own: a player
        // sees no discontinuity on any PID.
        fastzap::ChannelCore check;
        FeedPackets(check, got);
        EXPECT_EQ(check.Stats().continuityErrors + check.Stats().duplicates +
                      check.Stats().signalledDiscontinuities,
                  0U);
    }
}

// A reader that reads half the snapshot, then nothing: the source keeps the rest of the snapshot
// and up to maxBehind live bytes, then ends.
TEST(fastzap_LiveSource, SlowReaderIsCutOffPastTheBound)
{
    const auto bytes = ReadBytes("mpeg2.ts");
    const auto datagrams = Datagrams(bytes);
    for (const std::size_t maxBehind : {16U << 10, 256U << 10, 4U << 20}) {
        SCOPED_TRACE(maxBehind);
        ChannelBuffer channel({}, maxBehind);
        channel.Push(bytes);
        const auto source = channel.OpenSource();
        ASSERT_TRUE(source);
        const std::size_t snapshot = source->QueuedBytes();

        // Over half of it, so that what is read is dropped from the queue as packets come: what
        // is read of the snapshot does not make room for more live bytes.
        std::vector<std::uint8_t> buffer(snapshot / 2 + 1000);
        ASSERT_EQ(source->Read(buffer.data(), buffer.size()), ssize_t(buffer.size()));

        std::size_t live = 0;
        for (std::size_t i = 0; source->CurrentState() == LiveSource::State::Open; ++i) {
            ASSERT_LT(live, maxBehind + std::size_t(2) * 1316) << "never cut off";
            channel.Push(datagrams[i % datagrams.size()]);
            live += datagrams[i % datagrams.size()].size();
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
}

// The pipe carries the source whole to a player that reads it, and is let go without waiting on
// the source or for room in the pipe, and with no signal that ends the program, whatever the
// player does: reads to the end, reads all there is and waits for more (the copy waits in a read
// of the source), holds the pipe open and reads nothing (the copy waits for room for ever), or
// never opens it. Letting it go cancels the source: later reads end at once, nothing is kept.
TEST(fastzap_LiveSource, PipeCarriesTheSourceAndIsLetGoPromptly)
{
    enum Player
    {
        ReadsToTheEnd,
        ReadsAllThenWaits,
        NeverReads,
        NeverOpens
    };
    for (const Player player : {ReadsToTheEnd, ReadsAllThenWaits, NeverReads, NeverOpens}) {
        SCOPED_TRACE(::testing::Message() << "player " << player);
        // Far more than a pipe holds (4 KiB here; 1 MiB at most), each packet told apart.
        std::vector<TsPacket> packets(8000);
        std::vector<std::uint8_t> expected;
        for (std::size_t i = 0; i < packets.size(); ++i) {
            packets[i] = Packet(std::uint16_t(i & 0x1FFF));
            expected.insert(expected.end(), packets[i].bytes.begin(), packets[i].bytes.end());
        }
        const auto source = std::make_shared<LiveSource>(std::move(packets), 1);
        auto pipe = fastzap::SourcePipe::Start(source);
        ASSERT_TRUE(pipe);

        posix::UniqueFd held;
        if (player != NeverOpens) {
            held.reset(::open(pipe->Path().c_str(), O_RDONLY | O_CLOEXEC));
            ASSERT_TRUE(held.valid()) << pipe->Path();
        }
        std::atomic<std::size_t> read{0};
        std::future<std::vector<std::uint8_t>> reading;
        if (player == ReadsToTheEnd || player == ReadsAllThenWaits) {
            reading = std::async(std::launch::async, [&read, fd = held.get()] {
                std::vector<std::uint8_t> all;
                std::uint8_t buffer[4096];
                // Bounded, so that a failed check below does not leave the test waiting here.
                pollfd ready{fd, POLLIN, 0};
                for (ssize_t got = 0;
                     ::poll(&ready, 1, 10000) == 1 && (got = ::read(fd, buffer, 4096)) > 0;) {
                    all.insert(all.end(), buffer, buffer + got);
                    read = all.size();
                }
                return all;
            });
        }
        const auto whole = [&] {
            ASSERT_EQ(reading.wait_for(10s), std::future_status::ready);
            EXPECT_TRUE(reading.get() == expected);
        };
        if (player == ReadsToTheEnd) {
            source->End(); // the player reads what is left, then the end of the stream
            whole();
        } else if (player == ReadsAllThenWaits) {
            ASSERT_TRUE(WaitFor([&] { return read == expected.size(); }, 10s));
        } else {
            // A read of the source (64 KiB) taken, its copy waiting for room in a full pipe.
            ASSERT_TRUE(WaitFor(
                [&] { return source->QueuedBytes() + (64 << 10) <= expected.size(); }, 10s));
        }
        const auto letGo = Clock::now();
        pipe.reset();
        EXPECT_LT(Clock::now() - letGo, 2s);
        if (player == ReadsAllThenWaits)
            whole(); // the end of the stream once the pipe is let go
        // The channel stops feeding it.
        EXPECT_EQ(source->CurrentState(), LiveSource::State::Cancelled);
        std::uint8_t buffer[100];
        EXPECT_EQ(source->Read(buffer, sizeof buffer), 0);
        source->Append(std::vector<TsPacket>(7, Packet(0)));
        EXPECT_EQ(source->QueuedBytes(), 0U);
    }
}

} // namespace
