// The receivers against real multicast senders inside the test network: buffers fill and find
// their keyframes, a silent group gives no source, a receiver whose socket fails says so while
// the others run, groups on one port stay apart, and stop is prompt.
#include "Receivers.h"

#include "Sender.h"

#include <arpa/inet.h>
#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;
using fastzap::Receivers;
using fastzap::VideoCodec;

namespace {

using Clock = std::chrono::steady_clock;

// Three codecs on three groups of one port, a fourth group silent, another program (as libvlc
// playing the plain address) on the first group, and two receivers whose sockets fail; then the
// senders stop, one by one, and the receivers too.
TEST(fastzap_Receivers, FillStayApartAndGoOnBesideFailedOnes)
{
    const auto port = std::uint16_t(Port(0));
    const auto badPort = std::uint16_t(Port(1));
    // A socket on a group's port without SO_REUSEADDR: nobody else may bind it.
    posix::UniqueFd holder(::socket(AF_INET, SOCK_DGRAM, 0));
    ASSERT_TRUE(holder.valid());
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(badPort);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(holder.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::vector<fastzap::GroupAddress> groups{
        {"224.1.1.3", port}, {"224.1.1.4", port},    {"224.1.1.5", port},
        {"224.1.1.6", port}, {"224.1.1.8", badPort}, {"192.168.10.11", port}};
    auto owned = std::make_unique<Receivers>(groups);
    Receivers& receivers = *owned;
    Receivers other({groups[0]});
    ASSERT_TRUE(receivers.Start());
    ASSERT_TRUE(other.Start());
    holder.reset();
    EXPECT_EQ(other.ChannelStatus(0).state, Receivers::State::Running);
    for (const auto& [i, what] : {std::pair{4, "bind"}, std::pair{5, "multicast"}}) {
        const auto status = receivers.ChannelStatus(std::size_t(i));
        EXPECT_EQ(status.state, Receivers::State::Failed);
        EXPECT_NE(status.error.find(what), std::string::npos) << status.error;
        EXPECT_NE(status.error.find(groups[std::size_t(i)].address), std::string::npos)
            << status.error;
        EXPECT_EQ(receivers.OpenSource(std::size_t(i)), nullptr);
    }

    const std::pair<const char*, VideoCodec> sent[] = {{"h264-audio.ts", VideoCodec::H264},
                                                       {"h265.ts", VideoCodec::H265},
                                                       {"mpeg2.ts", VideoCodec::Mpeg2}};
    std::vector<std::unique_ptr<MulticastSender>> senders;
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(receivers.ChannelStatus(i).state, Receivers::State::Running);
        senders.push_back(
            std::make_unique<MulticastSender>(sent[i].first, groups[i].address, port));
    }
    // Each buffer finds its keyframes, measures their interval once a second one has come, and
    // gives a source that starts with the PAT.
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(sent[i].first);
        auto& channel = receivers.Channel(i);
        ASSERT_TRUE(WaitFor([&] { return channel.HasRandomAccess(); }, 10s));
        const auto snapshot = channel.Take();
        ASSERT_TRUE(snapshot.pmt);
        EXPECT_EQ(snapshot.pmt->codec, sent[i].second);
        ASSERT_FALSE(snapshot.gop.empty());
        EXPECT_EQ(snapshot.gop[0].Pid(), snapshot.pmt->videoPid);
        EXPECT_TRUE(snapshot.gop[0].PayloadUnitStart());
        EXPECT_TRUE(snapshot.gop[0].RandomAccess());
        EXPECT_EQ(snapshot.stats.continuityErrors, 0U);
        EXPECT_GT(receivers.ChannelStatus(i).datagrams, 0U);
        ASSERT_TRUE(WaitFor([&] { return channel.Take().keyframeInterval.has_value(); }, 5s));
        EXPECT_EQ(*channel.Take().keyframeInterval, 43200U);

        const auto source = receivers.OpenSource(i);
        ASSERT_TRUE(source);
        std::uint8_t buffer[fastzap::kPacketSize];
        ASSERT_EQ(source->Read(buffer, sizeof buffer), ssize_t(sizeof buffer));
        EXPECT_EQ(buffer[0], fastzap::kSyncByte);
        EXPECT_EQ(((buffer[1] & 0x1F) << 8) | buffer[2], 0); // the PAT first
    }
    EXPECT_TRUE(WaitFor([&] { return other.Channel(0).HasRandomAccess(); }, 10s));

    // The group without a sender: running, silent, no source.
    EXPECT_EQ(receivers.ChannelStatus(3).state, Receivers::State::Running);
    EXPECT_EQ(receivers.ChannelStatus(3).datagrams, 0U);
    EXPECT_FALSE(receivers.Channel(3).HasRandomAccess());
    EXPECT_EQ(receivers.OpenSource(3), nullptr);

    // A sender that stops: its last group is still held, but it is the past: no source for it.
    // Timed from before the sender's exit is waited for, which load can make long.
    const auto stopped = Clock::now();
    senders[0]->Stop();
    ASSERT_TRUE(WaitFor([&] { return receivers.OpenSource(0) == nullptr; }, 5s));
    EXPECT_GE(Clock::now() - stopped, 100ms);
    EXPECT_TRUE(receivers.Channel(0).HasRandomAccess());

    // Stop is prompt and ends the sources of players reading along (as libvlc's input thread
    // does), whether their sender still sends or has gone silent.
    const std::shared_ptr<fastzap::LiveSource> sources[] = {receivers.OpenSource(1),
                                                            receivers.OpenSource(2)};
    ASSERT_TRUE(sources[0] && sources[1]);
    senders[2]->Stop();
    std::atomic<std::size_t> read[2] = {0, 0};
    std::future<ssize_t> readers[2];
    for (std::size_t i = 0; i < 2; ++i) {
        readers[i] = std::async(std::launch::async, [&, i] {
            std::uint8_t buffer[4096];
            ssize_t n = 0;
            while ((n = sources[i]->Read(buffer, sizeof buffer)) > 0)
                read[i] += std::size_t(n);
            return n;
        });
    }
    ASSERT_TRUE(WaitFor([&] { return read[0] > 0 && read[1] > 0; }, 5s));
    const auto before = Clock::now();
    receivers.Stop();
    EXPECT_LT(Clock::now() - before, 500ms);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(receivers.ChannelStatus(i + 1).state, Receivers::State::Stopped);
        ASSERT_EQ(readers[i].wait_for(2s), std::future_status::ready);
        EXPECT_EQ(readers[i].get(), 0);
        EXPECT_EQ(sources[i]->CurrentState(), fastzap::LiveSource::State::Ended);
        EXPECT_FALSE(receivers.Channel(i + 1).HasRandomAccess());
    }

    // And the destructor of a running set returns promptly too.
    ASSERT_TRUE(receivers.Start());
    const auto destroying = Clock::now();
    owned.reset();
    EXPECT_LT(Clock::now() - destroying, 500ms);
}

} // namespace
