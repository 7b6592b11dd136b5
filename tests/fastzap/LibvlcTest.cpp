// A libvlc 3 player reading a channel's live source through its pipe, decoding
// into memory (no display needed), from a real multicast sender: groups that start with an IDR, a
// CRA with its leading picture, an IDR whose parameter sets were put in; and its stop returning
// promptly after Cancel, even when the sender has gone silent and libvlc's input thread waits on
// the pipe.
#include "Receivers.h"
#include "Sender.h"
#include "SourcePipe.h"
#include "TestNames.h"

#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <vlc/vlc.h>

using namespace std::chrono_literals;
using fastzap::Receivers;

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned kWidth = 320;
constexpr unsigned kHeight = 180;

// Pictures decoded into memory: libvlc's vmem output calls these from its video output thread.
struct Frames
{
    std::vector<std::uint8_t> pixels = std::vector<std::uint8_t>(std::size_t(kWidth) * kHeight * 4);
    std::atomic<int> shown{0};
    std::atomic<int> coloured{0}; // pictures with real content, not a blank surface

    static void* Lock(void* opaque, void** planes)
    {
        *planes = static_cast<Frames*>(opaque)->pixels.data();
        return nullptr;
    }
    static void Display(void* opaque, void* /*picture*/)
    {
        auto* self = static_cast<Frames*>(opaque);
        ++self->shown;
        std::size_t lit = 0;
        for (std::size_t i = 0; i < self->pixels.size(); i += 4) {
            if (self->pixels[i] + self->pixels[i + 1] + self->pixels[i + 2] > 60)
                ++lit;
        }
        if (lit * 2 > self->pixels.size() / 4)
            ++self->coloured;
    }
};

using Instance = std::unique_ptr<libvlc_instance_t, decltype(&libvlc_release)>;
using Media = std::unique_ptr<libvlc_media_t, decltype(&libvlc_media_release)>;
using Player = std::unique_ptr<libvlc_media_player_t, decltype(&libvlc_media_player_release)>;

struct Play
{
    const char* name;
    const char* capture;
    bool silent; // the sender has gone silent when the player stops
    // The source is opened at this start point. For the capture whose parameter sets come once,
    // at its start, the second one has them only because they were put in; the next that carries
    // them is the fifth, when the sender loops.
    std::uint64_t openAt;
};

class LibvlcPlayer : public ::testing::TestWithParam<Play>
{};

TEST_P(LibvlcPlayer, ShowsPicturesAndStopsPromptlyAfterCancel)
{
    // No session bus in the test network: keep libvlc from trying to start one.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
    const Play play = GetParam();
    const auto port = std::uint16_t(Port(0));
    Receivers receivers({{"224.1.1.6", port}});
    ASSERT_TRUE(receivers.Start());
    MulticastSender sender(play.capture, "224.1.1.6", port);
    const auto starts = [&] {
        return receivers.Channel(0).Stats().randomAccessPoints;
    };
    ASSERT_TRUE(WaitFor([&] { return starts() >= play.openAt; }, 10s));
    auto source = receivers.OpenSource(0);
    ASSERT_TRUE(source);
    const std::weak_ptr<fastzap::LiveSource> watch = source;

    const char* const args[] = {"--quiet", "--no-xlib", "--aout=adummy"};
    Instance instance(libvlc_new(3, args), &libvlc_release);
    ASSERT_TRUE(instance) << "libvlc_new failed";
    auto pipe = fastzap::SourcePipe::Start(source);
    ASSERT_TRUE(pipe);
    Media media(libvlc_media_new_location(instance.get(), pipe->Location().c_str()),
                &libvlc_media_release);
    ASSERT_TRUE(media);
    Player player(libvlc_media_player_new_from_media(media.get()), &libvlc_media_player_release);
    ASSERT_TRUE(player);
    Frames frames;
    libvlc_video_set_callbacks(player.get(), &Frames::Lock, nullptr, &Frames::Display, &frames);
    libvlc_video_set_format(player.get(), "RV32", kWidth, kHeight, kWidth * 4);

    ASSERT_EQ(libvlc_media_player_play(player.get()), 0);
    ASSERT_TRUE(WaitFor([&] { return frames.coloured.load() >= 10; }, 15s))
        << frames.shown.load() << " pictures shown, " << frames.coloured.load() << " coloured";
    if (play.openAt > 1) {
        EXPECT_LT(starts(), play.openAt + 3) << "pictures only once the stream sent its own sets";
    }

    if (play.silent) {
        sender.Stop();
        // libvlc takes what is left and then waits in a read for packets that never come.
        ASSERT_TRUE(WaitFor([&] { return source->QueuedBytes() == 0; }, 5s));
    }
    source->Cancel();
    const auto stopping = Clock::now();
    libvlc_media_player_stop(player.get());
    EXPECT_LT(Clock::now() - stopping, 2s);

    // libvlc has closed its end: the pipe goes at once, and once nobody else holds the source,
    // it is gone.
    pipe.reset();
    source.reset();
    EXPECT_TRUE(watch.expired());
}

INSTANTIATE_TEST_SUITE_P(
    fastzap, LibvlcPlayer,
    ::testing::Values(Play{"h264_audio_WhileSending", "h264-audio.ts", false, 1},
                      Play{"h264_audio_AfterSilence", "h264-audio.ts", true, 1},
                      Play{"h265_open_gop_WhileSending", "h265-open-gop.ts", false, 1},
                      Play{"h264_2s_headers_once_WhileSending", "h264-2s-headers-once.ts", false,
                           2}),
    ByName());

} // namespace
