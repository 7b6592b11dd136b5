// A headless libvlc 3 player zapping to a channel: from the live source through its pipe (fast) or
// from the plain multicast address (plain), decoding into memory. Run by bench/fastzap_latency.py
// inside the test network.
//
//   bench_fastzap_latency fast|plain ZAPS PLAY_MS [MEDIA_OPTION...]
//
// It starts its own sender (ffmpeg, encoding live) whose pictures carry their frame number in a
// band of sixteen black and white blocks, and a tap on the group that notes when each frame's
// PES arrived. For every zap it reports the time from the click to the first picture, and how
// far behind live each picture is when shown: the time since its frame arrived from the network.
// One JSON object a zap on stdout.
#include "ChannelCore.h"
#include "RandomAccess.h"
#include "Receivers.h"
#include "SourcePipe.h"
#include "TsFramer.h"
#include "UniqueFd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <vector>
#include <vlc/vlc.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kGroup = "224.1.1.1";
constexpr std::uint16_t kPort = 5600;
constexpr unsigned kWidth = 320;
constexpr unsigned kHeight = 180;
constexpr std::uint64_t kFrameTicks = 3600; // 25 frames a second, 90 kHz
// Sixteen blocks across the top 40 rows of the picture: bit i of the frame number, white for 1.
// (bench/fastzap_latency.py draws its looped clip with the same filter.)
constexpr const char* kNumbered =
    "format=yuv420p,"
    "geq=lum='if(lt(Y,40),if(mod(floor(N/pow(2,floor(X/20))),2),235,16),lum(X,Y))'"
    ":cb='if(lt(Y,40),128,cb(X,Y))':cr='if(lt(Y,40),128,cr(X,Y))'";

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// Notes when each video PES arrived, by its presentation time.
class Tap
{
public:
    Tap()
    {
        m_socket.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        const int on = 1;
        ::setsockopt(m_socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        timeval timeout{0, 100000};
        ::setsockopt(m_socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(kPort);
        inet_pton(AF_INET, kGroup, &address.sin_addr);
        if (::bind(m_socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            std::perror("tap bind");
        ip_mreqn join{};
        join.imr_multiaddr = address.sin_addr;
        if (::setsockopt(m_socket.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0)
            std::perror("tap join");
        m_thread = std::thread([this] { Run(); });
    }
    ~Tap()
    {
        m_stop = true;
        m_thread.join();
    }
    Tap(const Tap&) = delete;
    Tap& operator=(const Tap&) = delete;

    // When the latest frame numbered `n` (counted modulo `period` frames, for a looped clip)
    // arrived before `before`, if one has.
    std::optional<Clock::time_point> Arrival(std::uint64_t n, std::uint64_t period,
                                             Clock::time_point before) const
    {
        const std::lock_guard lock(m_mutex);
        if (!m_first)
            return std::nullopt;
        for (auto it = m_arrivals.rbegin(); it != m_arrivals.rend(); ++it) {
            const std::uint64_t frame = fastzap::TicksBetween(*m_first, it->first) / kFrameTicks;
            if (frame % period == n % period && it->second <= before)
                return it->second;
        }
        return std::nullopt;
    }

private:
    void Run()
    {
        std::vector<std::uint8_t> buffer(65536);
        std::vector<fastzap::TsPacket> packets;
        fastzap::TsFramer framer;
        fastzap::ChannelCore core;
        std::optional<fastzap::VideoTracker> video;
        while (!m_stop) {
            const ssize_t n = ::recv(m_socket.get(), buffer.data(), buffer.size(), 0);
            if (n <= 0)
                continue;
            const auto now = Clock::now();
            packets.clear();
            framer.Push({buffer.data(), std::size_t(n)}, packets);
            for (const auto& p : packets) {
                core.PushPacket(p);
                if (!core.Pmt() || p.Pid() != core.Pmt()->videoPid)
                    continue;
                if (!video)
                    video.emplace(core.Pmt()->codec);
                const auto info = video->Push(p);
                if (info.timestamp) {
                    const std::lock_guard lock(m_mutex);
                    if (!m_first)
                        m_first = *info.timestamp;
                    m_arrivals.emplace_back(*info.timestamp, now);
                }
            }
        }
    }

    posix::UniqueFd m_socket;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::optional<std::uint64_t> m_first;
    std::vector<std::pair<std::uint64_t, Clock::time_point>> m_arrivals;
};

class Sender
{
public:
    // `clip` empty: encode live, frame numbers counting up for ever. Otherwise send that clip in
    // a loop without re-encoding, as the demo network's senders do.
    explicit Sender(const std::string& clip)
    {
        const std::string url =
            std::string("udp://") + kGroup + ":" + std::to_string(kPort) + "?pkt_size=1316&ttl=1";
        std::vector<std::string> args{"ffmpeg", "-nostdin", "-loglevel", "error", "-re"};
        if (clip.empty()) {
            const std::vector<std::string> live{"-f",
                                                "lavfi",
                                                "-i",
                                                std::string("testsrc2=size=320x180:rate=25,") +
                                                    kNumbered,
                                                "-c:v",
                                                "libx264",
                                                "-preset",
                                                "veryfast",
                                                "-tune",
                                                "zerolatency",
                                                "-b:v",
                                                "1200k",
                                                "-g",
                                                "12",
                                                "-keyint_min",
                                                "12",
                                                "-sc_threshold",
                                                "0",
                                                "-pix_fmt",
                                                "yuv420p",
                                                "-muxdelay",
                                                "0",
                                                "-muxpreload",
                                                "0"};
            args.insert(args.end(), live.begin(), live.end());
        } else {
            const std::vector<std::string> loop{"-stream_loop", "-1", "-i", clip, "-c", "copy"};
            args.insert(args.end(), loop.begin(), loop.end());
        }
        args.insert(args.end(), {"-f", "mpegts", url});
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawnp(&m_pid, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
    }
    ~Sender()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;
    bool Running() const { return m_pid > 0; }

private:
    pid_t m_pid = -1;
};

struct Shown
{
    Clock::time_point at;
    std::uint64_t frame;
};

struct Frames
{
    std::vector<std::uint8_t> pixels = std::vector<std::uint8_t>(std::size_t(kWidth) * kHeight * 4);
    std::mutex mutex;
    std::vector<Shown> shown;

    static void* Lock(void* opaque, void** planes)
    {
        *planes = static_cast<Frames*>(opaque)->pixels.data();
        return nullptr;
    }
    static void Display(void* opaque, void* /*picture*/)
    {
        auto* self = static_cast<Frames*>(opaque);
        const auto now = Clock::now();
        std::uint64_t n = 0;
        for (unsigned bit = 0; bit < 16; ++bit) {
            const std::size_t at = (std::size_t(20) * kWidth + 20 * bit + 10) * 4;
            if (self->pixels[at + 1] > 128)
                n |= 1U << bit;
        }
        const std::lock_guard lock(self->mutex);
        self->shown.push_back({now, n});
    }
};

using Instance = std::unique_ptr<libvlc_instance_t, decltype(&libvlc_release)>;
using Media = std::unique_ptr<libvlc_media_t, decltype(&libvlc_media_release)>;
using Player = std::unique_ptr<libvlc_media_player_t, decltype(&libvlc_media_player_release)>;

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s fast|plain live|CLIP ZAPS PLAY_MS [OPTION...]\n", argv[0]);
        return 2;
    }
    const bool fast = std::string(argv[1]) == "fast";
    const std::string clip = std::string(argv[2]) == "live" ? std::string() : argv[2];
    // A looped clip numbers its frames from 0 again at every loop: 4 s, 100 frames.
    const std::uint64_t period = clip.empty() ? (1U << 16) : 100;
    const int zaps = std::atoi(argv[3]);
    const auto play = std::chrono::milliseconds(std::atoi(argv[4]));
    const std::vector<std::string> options(argv + 5, argv + argc);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);

    fastzap::Receivers receivers({{kGroup, kPort}});
    if (!receivers.Start() ||
        receivers.ChannelStatus(0).state != fastzap::Receivers::State::Running)
        return 1;
    Tap tap;
    Sender sender(clip);
    if (!sender.Running())
        return 1;

    const char* const args[] = {"--quiet", "--no-xlib", "--aout=adummy"};
    Instance instance(libvlc_new(3, args), &libvlc_release);
    if (!instance)
        return 1;

    std::mt19937 random(12345);
    std::uniform_int_distribution<int> phase(0, 479);
    const auto ready = Clock::now() + std::chrono::seconds(10);
    while (!receivers.Channel(0).HasRandomAccess() && Clock::now() < ready)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    for (int zap = 0; zap < zaps; ++zap) {
        // A click lands anywhere in the keyframe interval.
        std::this_thread::sleep_for(std::chrono::milliseconds(500 + phase(random)));
        const auto click = Clock::now();
        std::shared_ptr<fastzap::LiveSource> source;
        std::unique_ptr<fastzap::SourcePipe> pipe;
        Media media(nullptr, &libvlc_media_release);
        if (fast) {
            source = receivers.OpenSource(0);
            if (!source) {
                std::printf("{\"zap\": %d, \"fallback\": true}\n", zap);
                continue;
            }
            pipe = fastzap::SourcePipe::Start(source);
            if (!pipe)
                return 1;
            media.reset(libvlc_media_new_location(instance.get(), pipe->Location().c_str()));
        } else {
            const std::string mrl = std::string("udp://@") + kGroup + ":" + std::to_string(kPort);
            media.reset(libvlc_media_new_location(instance.get(), mrl.c_str()));
        }
        for (const auto& option : options)
            libvlc_media_add_option(media.get(), option.c_str());
        Player player(libvlc_media_player_new_from_media(media.get()),
                      &libvlc_media_player_release);
        Frames frames;
        libvlc_video_set_callbacks(player.get(), &Frames::Lock, nullptr, &Frames::Display, &frames);
        libvlc_video_set_format(player.get(), "RV32", kWidth, kHeight, kWidth * 4);
        libvlc_media_player_play(player.get());
        std::this_thread::sleep_for(play);

        if (source)
            source->Cancel();
        const auto stopping = Clock::now();
        libvlc_media_player_stop(player.get());
        const double stopMs = Ms(Clock::now() - stopping);
        pipe.reset();

        std::vector<Shown> shown;
        {
            const std::lock_guard lock(frames.mutex);
            shown = frames.shown;
        }
        if (shown.empty()) {
            std::printf("{\"zap\": %d, \"pictures\": 0, \"stop_ms\": %.1f}\n", zap, stopMs);
            continue;
        }
        // How far behind live each picture was, and the longest the picture stood still.
        std::vector<std::optional<double>> lags(shown.size());
        double longestStill = 0;
        double longestStillSettled = 0; // from half a second after the first picture on
        int skipped = 0;
        for (std::size_t i = 0; i < shown.size(); ++i) {
            if (const auto arrived = tap.Arrival(shown[i].frame, period, shown[i].at))
                lags[i] = Ms(shown[i].at - *arrived);
            if (i > 0) {
                const double still = Ms(shown[i].at - shown[i - 1].at);
                longestStill = std::max(longestStill, still);
                if (shown[i - 1].at >= shown.front().at + std::chrono::milliseconds(500))
                    longestStillSettled = std::max(longestStillSettled, still);
                if (shown[i].frame > shown[i - 1].frame + 1)
                    skipped += int(shown[i].frame - shown[i - 1].frame - 1);
            }
        }
        // Behind live over the last second of the zap.
        std::vector<double> late;
        for (std::size_t i = 0; i < shown.size(); ++i) {
            if (lags[i] && shown[i].at > click + play - std::chrono::seconds(1))
                late.push_back(*lags[i]);
        }
        std::sort(late.begin(), late.end());
        const double seconds = Ms(shown.back().at - shown.front().at) / 1000.0;
        std::printf("{\"zap\": %d, \"first_picture_ms\": %.1f, \"first_behind_live_ms\": %s, "
                    "\"behind_live_last_second_ms\": %s, \"pictures\": %zu, "
                    "\"pictures_per_s\": %.1f, \"longest_still_ms\": %.1f, "
                    "\"longest_still_after_500ms_ms\": %.1f, \"frames_skipped\": %d, "
                    "\"stop_ms\": %.1f}\n",
                    zap, Ms(shown.front().at - click),
                    !lags.front() ? "null" : std::to_string(*lags.front()).c_str(),
                    late.empty() ? "null" : std::to_string(late[late.size() / 2]).c_str(),
                    shown.size(), seconds > 0 ? double(shown.size() - 1) / seconds : 0.0,
                    longestStill, longestStillSettled, skipped, stopMs);
        std::fflush(stdout);
    }
    return 0;
}
