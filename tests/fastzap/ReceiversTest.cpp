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
using fastzap::GroupAddress;
using fastzap::Receivers;
using fastzap::VideoCodec;

namespace {

using Clock = std::chrono::steady_clock;

// Each codec in turn: the buffer finds its keyframes, measures their interval, and gives a
// source that starts with the PAT.
TEST(fastzap_Filling, BufferHasAKeyframeAndASource)
{
    for (const auto& [capture, codec] :
         {std::pair{"h264-audio.ts", VideoCodec::H264}, std::pair{"h265.ts", VideoCodec::H265},
          std::pair{"mpeg2.ts", VideoCodec::Mpeg2}}) {
        SCOPED_TRACE(capture);
        const int port = Port(int(codec));
        Receivers receivers({{"224.1.1.3", std::uint16_t(port)}});
        ASSERT_TRUE(receivers.Start());
        EXPECT_EQ(receivers.ChannelStatus(0).state, Receivers::State::Running);
        MulticastSender sender(capture, "224.1.1.3", port);

        ASSERT_TRUE(WaitFor([&] { return receivers.Channel(0).HasRandomAccess(); }, 10s));
        const auto snapshot = receivers.Channel(0).Take();
        ASSERT_TRUE(snapshot.pmt);
        EXPECT_EQ(snapshot.pmt->codec, codec);
        ASSERT_FALSE(snapshot.gop.empty());
        EXPECT_EQ(snapshot.gop[0].Pid(), snapshot.pmt->videoPid);
        EXPECT_TRUE(snapshot.gop[0].PayloadUnitStart());
        EXPECT_TRUE(snapshot.gop[0].RandomAccess());
        EXPECT_EQ(snapshot.stats.continuityErrors, 0U);
        EXPECT_GT(receivers.ChannelStatus(0).datagrams, 0U);

        // The keyframe interval is measured once a second keyframe has come.
        ASSERT_TRUE(
            WaitFor([&] { return receivers.Channel(0).Take().keyframeInterval.has_value(); }, 5s));
        EXPECT_EQ(*receivers.Channel(0).Take().keyframeInterval, 43200U);

        const auto source = receivers.OpenSource(0);
        ASSERT_TRUE(source);
        std::uint8_t buffer[fastzap::kPacketSize];
        ASSERT_EQ(source->Read(buffer, sizeof buffer), ssize_t(sizeof buffer));
        EXPECT_EQ(buffer[0], fastzap::kSyncByte);
        EXPECT_EQ(((buffer[1] & 0x1F) << 8) | buffer[2], 0); // the PAT first
    }
}

TEST(fastzap_Groups, OnOnePortStayApartAndASilentOneGivesNoSource)
{
    const auto port = std::uint16_t(Port(0));
    Receivers receivers({{"224.1.1.4", port}, {"224.1.1.5", port}, {"224.1.1.6", port}});
    ASSERT_TRUE(receivers.Start());
    MulticastSender h264("h264.ts", "224.1.1.4", port);
    MulticastSender h265("h265.ts", "224.1.1.5", port);

    ASSERT_TRUE(WaitFor(
        [&] {
            return receivers.Channel(0).HasRandomAccess() && receivers.Channel(1).HasRandomAccess();
        },
        10s));
    EXPECT_EQ(receivers.Channel(0).Take().pmt->codec, VideoCodec::H264);
    EXPECT_EQ(receivers.Channel(1).Take().pmt->codec, VideoCodec::H265);
    EXPECT_EQ(receivers.Channel(0).Stats().continuityErrors, 0U);
    EXPECT_EQ(receivers.Channel(1).Stats().continuityErrors, 0U);

    // The third group has no sender: running, silent, no source.
    EXPECT_EQ(receivers.ChannelStatus(2).state, Receivers::State::Running);
    EXPECT_EQ(receivers.ChannelStatus(2).datagrams, 0U);
    EXPECT_FALSE(receivers.Channel(2).HasRandomAccess());
    EXPECT_EQ(receivers.OpenSource(2), nullptr);
}

TEST(fastzap_Groups, ASenderThatStopsLeavesNoSource)
{
    const auto port = std::uint16_t(Port(0));
    fastzap::ReceiverOptions options;
    options.maxSilence = 300ms;
    Receivers receivers({{"224.1.1.8", port}}, options);
    ASSERT_TRUE(receivers.Start());
    MulticastSender sender("h264.ts", "224.1.1.8", port);
    ASSERT_TRUE(WaitFor([&] { return receivers.Channel(0).HasRandomAccess(); }, 10s));
    EXPECT_NE(receivers.OpenSource(0), nullptr);

    // Timed from before the sender's exit is waited for, which load can make long.
    const auto stopped = Clock::now();
    sender.Stop();
    // The last group of pictures is still held, but it is the past: no source for it.
    ASSERT_TRUE(WaitFor([&] { return receivers.OpenSource(0) == nullptr; }, 5s));
    EXPECT_GE(Clock::now() - stopped, 100ms);
    EXPECT_TRUE(receivers.Channel(0).HasRandomAccess());
}

TEST(fastzap_Groups, AreSharedWithOtherReceiversOnTheSamePort)
{
    // Another program (libvlc playing the plain address) on the same group and port.
    const auto port = std::uint16_t(Port(0));
    Receivers first({{"224.1.1.7", port}});
    Receivers second({{"224.1.1.7", port}});
    ASSERT_TRUE(first.Start());
    ASSERT_TRUE(second.Start());
    EXPECT_EQ(second.ChannelStatus(0).state, Receivers::State::Running);
    MulticastSender sender("h264.ts", "224.1.1.7", port);
    EXPECT_TRUE(WaitFor(
        [&] { return first.Channel(0).HasRandomAccess() && second.Channel(0).HasRandomAccess(); },
        10s));
}

// --- a receiver that fails ---------------------------------------------------------------------

enum class Failure
{
    PortTakenWithoutReuse,
    NotAMulticastGroup
};

class Failing : public ::testing::TestWithParam<Failure>
{};

TEST_P(Failing, ReportsItselfAndTheOthersGoOn)
{
    const Failure f = GetParam();
    const auto port = std::uint16_t(Port(0));
    const auto badPort = std::uint16_t(Port(1));

    // A socket on the group's port without SO_REUSEADDR: nobody else may bind it.
    posix::UniqueFd holder(::socket(AF_INET, SOCK_DGRAM, 0));
    ASSERT_TRUE(holder.valid());
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(badPort);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(holder.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    const GroupAddress bad = f == Failure::PortTakenWithoutReuse
                                 ? GroupAddress{"224.1.1.8", badPort}
                                 : GroupAddress{"192.168.10.11", port};
    Receivers receivers({bad, {"224.1.1.2", port}});
    ASSERT_TRUE(receivers.Start());
    holder.reset();

    const auto status = receivers.ChannelStatus(0);
    EXPECT_EQ(status.state, Receivers::State::Failed);
    EXPECT_NE(status.error.find(f == Failure::PortTakenWithoutReuse ? "bind" : "multicast"),
              std::string::npos)
        << status.error;
    EXPECT_NE(status.error.find(bad.address), std::string::npos) << status.error;
    EXPECT_EQ(receivers.OpenSource(0), nullptr);

    EXPECT_EQ(receivers.ChannelStatus(1).state, Receivers::State::Running);
    MulticastSender sender("h264.ts", "224.1.1.2", port);
    EXPECT_TRUE(WaitFor([&] { return receivers.Channel(1).HasRandomAccess(); }, 10s));
    EXPECT_NE(receivers.OpenSource(1), nullptr);
}

INSTANTIATE_TEST_SUITE_P(fastzap, Failing,
                         ::testing::Values(Failure::PortTakenWithoutReuse,
                                           Failure::NotAMulticastGroup),
                         [](const auto& info) {
                             return info.param == Failure::PortTakenWithoutReuse
                                        ? "PortTakenWithoutReuse"
                                        : "NotAMulticastGroup";
                         });

// --- stop ------------------------------------------------------------------------------------

class Stopping : public ::testing::TestWithParam<AtStop>
{};

TEST_P(Stopping, IsPromptAndEndsTheSources)
{
    const auto port = std::uint16_t(Port(0));
    // Channel 1 on this test's own port; the other seven on the site's addresses, silent here.
    auto groups = fastzap::SiteGroups();
    groups[0].port = port;
    auto receivers = std::make_unique<Receivers>(groups);
    ASSERT_TRUE(receivers->Start());
    MulticastSender sender("h264-audio.ts", "224.1.1.1", port);
    ASSERT_TRUE(WaitFor([&] { return receivers->Channel(0).HasRandomAccess(); }, 10s));
    const auto source = receivers->OpenSource(0);
    ASSERT_TRUE(source);
    if (GetParam() == AtStop::Silent) {
        sender.Stop();
    }

    // A player reading along, as libvlc's input thread does.
    std::atomic<std::size_t> read{0};
    auto reader = std::async(std::launch::async, [&] {
        std::uint8_t buffer[4096];
        ssize_t n = 0;
        while ((n = source->Read(buffer, sizeof buffer)) > 0)
            read += std::size_t(n);
        return n;
    });
    ASSERT_TRUE(WaitFor([&] { return read.load() > 0; }, 5s));

    const auto before = Clock::now();
    receivers->Stop();
    EXPECT_LT(Clock::now() - before, 500ms);
    EXPECT_EQ(receivers->ChannelStatus(0).state, Receivers::State::Stopped);
    ASSERT_EQ(reader.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(reader.get(), 0);
    EXPECT_EQ(source->CurrentState(), fastzap::LiveSource::State::Ended);
    EXPECT_FALSE(receivers->Channel(0).HasRandomAccess());

    // And the destructor of a running set returns promptly too.
    ASSERT_TRUE(receivers->Start());
    const auto destroying = Clock::now();
    receivers.reset();
    EXPECT_LT(Clock::now() - destroying, 500ms);
}

INSTANTIATE_TEST_SUITE_P(fastzap, Stopping, ::testing::Values(AtStop::Sending, AtStop::Silent),
                         [](const auto& info) {
                             return info.param == AtStop::Sending ? "WhileSending" : "AfterSilence";
                         });

} // namespace
