#include "PlayerKit.h"

#include <QFile>
#include <QThread>
#include <algorithm>
#include <future>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>
#include <vlc/vlc.h>

QString MediaFolder::clip(const QString& size)
{
    if (m_clips.contains(size))
        return m_clips.value(size);
    // Four seconds of test pattern with a keyframe every half second, as the demo channels are
    // made; the tests use a smaller picture, so that decoding leaves the cores to the rest.
    QString clip = path(u"clip-%1.ts"_qs.arg(size));
    QProcess ffmpeg;
    ffmpeg.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 u"-nostdin -loglevel error -y -f lavfi -i testsrc2=size=%1:rate=25 -t 4 -c:v "
                 u"libx264 -preset veryfast -g 12 -keyint_min 12 -sc_threshold 0 -pix_fmt yuv420p "
                 u"-muxdelay 0 -muxpreload 0 -f mpegts"_qs.arg(size)
                         .split(u' ')
                     << clip);
    if (!ffmpeg.waitForFinished(60000) || ffmpeg.exitCode() != 0) {
        ADD_FAILURE() << "ffmpeg could not make the test clip";
        return {};
    }
    m_clips.insert(size, clip);
    return clip;
}

LiveHls::LiveHls(const QString& clip, const QString& folder)
{
    m_ffmpeg.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QString playlist = folder + QStringLiteral("/index.m3u8");
    m_ffmpeg.start(QStringLiteral("ffmpeg"),
                   (u"-nostdin -loglevel error -re -stream_loop -1 -i"_qs.split(u' ') << clip) +
                           u"-c copy -f hls -hls_time 1 -hls_list_size 6 -hls_flags "
                           u"delete_segments -hls_segment_filename"_qs.split(u' ')
                       << folder + QStringLiteral("/seg%05d.ts") << playlist);
    m_ready = WaitUntil([&playlist] { return QFile::exists(playlist); }, std::chrono::seconds(15));
    if (!m_ready)
        ADD_FAILURE() << "ffmpeg wrote no live playlist";
}

LiveHls::~LiveHls()
{
    m_ffmpeg.kill();
    m_ffmpeg.waitForFinished(5000);
}

HostileHlsServer::HostileHlsServer(const QStringList& args)
    : ScriptServer(QStringLiteral(CORVESSA_HOSTILE_HLS), args)
{}

QStringList HostileHlsServer::requests(bool* allRelayed)
{
    QStringList paths;
    if (allRelayed != nullptr)
        *allRelayed = true;
    for (const QString& line : lines()) {
        if (!line.startsWith(u"REQUEST "))
            continue;
        const QStringList words = line.split(u' ');
        paths << words.value(1);
        if (allRelayed != nullptr && words.value(2) != u"via=1")
            *allRelayed = false;
    }
    return paths;
}

void VlcRelease::operator()(libvlc_instance_t* instance) const
{
    libvlc_release(instance);
}

void VlcPlayerRelease::operator()(libvlc_media_player_t* player) const
{
    libvlc_media_player_release(player);
}

Vlc NewVlc()
{
    // No session bus in the test network: keep libvlc from trying to start one.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
    const bool verbose = qEnvironmentVariableIsSet("CORVESSA_VLC_VERBOSE");
    const char* args[] = {"--no-audio", verbose ? "-vv" : "--quiet"};
    return Vlc(libvlc_new(int(std::size(args)), args));
}

MemoryPlayer::MemoryPlayer(libvlc_instance_t* vlc, const QString& url)
{
    if (vlc == nullptr)
        return;
    const std::unique_ptr<libvlc_media_t, decltype(&libvlc_media_release)> media(
        libvlc_media_new_location(vlc, url.toUtf8().constData()), &libvlc_media_release);
    if (!media)
        return;
    // As the program plays live channels.
    libvlc_media_add_option(media.get(), ":network-caching=100");
    m_player.reset(libvlc_media_player_new_from_media(media.get()));
    if (!m_player)
        return;
    libvlc_video_set_callbacks(m_player.get(), &MemoryPlayer::lock, nullptr, &MemoryPlayer::display,
                               m_canvas.get());
    libvlc_video_set_format_callbacks(m_player.get(), &MemoryPlayer::format, nullptr);
}

MemoryPlayer::~MemoryPlayer()
{
    if (m_player && !m_stopped && !m_hung)
        Stop(std::chrono::seconds(10));
    // A stop that never returned still uses the player and its canvas: leave them be.
    if (m_hung) {
        (void)m_player.release();
        (void)m_canvas.release();
    }
}

bool MemoryPlayer::Play()
{
    return m_player && libvlc_media_player_play(m_player.get()) == 0;
}

bool MemoryPlayer::Ended() const
{
    const libvlc_state_t state =
        m_player ? libvlc_media_player_get_state(m_player.get()) : libvlc_Error;
    return state == libvlc_Ended || state == libvlc_Error;
}

std::optional<std::chrono::milliseconds> MemoryPlayer::Stop(std::chrono::milliseconds limit)
{
    if (!m_player)
        return std::chrono::milliseconds(0);
    const auto start = std::chrono::steady_clock::now();
    auto stopped = std::make_shared<std::promise<std::chrono::steady_clock::time_point>>();
    std::future<std::chrono::steady_clock::time_point> done = stopped->get_future();
    std::thread([player = m_player.get(), stopped] {
        libvlc_media_player_stop(player);
        stopped->set_value(std::chrono::steady_clock::now());
    }).detach();
    if (done.wait_for(limit) != std::future_status::ready) {
        m_hung = true;
        return std::nullopt;
    }
    m_stopped = true;
    return std::chrono::duration_cast<std::chrono::milliseconds>(done.get() - start);
}

unsigned MemoryPlayer::format(void** opaque, char* chroma, unsigned* width, unsigned* height,
                              unsigned* pitches, unsigned* lines)
{
    auto* canvas = static_cast<Canvas*>(*opaque);
    std::copy_n("RV32", 4, chroma);
    pitches[0] = *width * 4;
    lines[0] = *height;
    canvas->frame.assign(size_t(pitches[0]) * lines[0], 0);
    return 1;
}

void* MemoryPlayer::lock(void* opaque, void** planes)
{
    planes[0] = static_cast<Canvas*>(opaque)->frame.data();
    return nullptr;
}

void MemoryPlayer::display(void* opaque, void*)
{
    ++static_cast<Canvas*>(opaque)->pictures;
}

qint64 ResidentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toLongLong() * sysconf(_SC_PAGESIZE);
}
