#include "ChannelPlayback.h"

#include "LiveSource.h"
#include "StreamRelay.h"
#include "Verbose.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <tuple>
#include <vlc/vlc.h>

namespace {

constexpr std::chrono::seconds kLongestBackoff{30};

// A group of pictures handed over at once carries timestamps from the past: libvlc must not
// take the stream's clock from them, or it waits and then drops pictures as too late. The
// group's pictures are decoded in a burst, one after the other, so one decoder thread is as
// fast as several and starts sooner.
const QStringList kFastOptions = {QStringLiteral(":no-ts-trust-pcr"), QStringLiteral(":demux=ts"),
                                  QStringLiteral(":avcodec-threads=1")};

// Pictures are decoded into memory the program paints: a picture decoded on a graphics card
// would have to be copied back, and trying the cards' decoders first costs every channel
// change a video output made and dropped for each.
const QStringList kDecodeOptions = {QStringLiteral(":avcodec-hw=none")};

constexpr std::array kStopEvents = {libvlc_MediaPlayerEndReached,
                                    libvlc_MediaPlayerEncounteredError};

// Everything that counts as the stream coming in: bytes read and demuxed, sound and pictures
// decoded. (Not pictures shown: libvlc shows the last one again and again while none comes.)
using Progress = std::array<qint64, 4>;

Progress ProgressOf(libvlc_media_t* media)
{
    libvlc_media_stats_t stats{};
    if (media == nullptr || !libvlc_media_get_stats(media, &stats))
        return {};
    return {stats.i_read_bytes, stats.i_demux_read_bytes, stats.i_decoded_audio,
            stats.i_decoded_video};
}

// The shape the stream's picture is meant to have, width over height, from its visible size and
// its pixels' shape; 0 when the stream does not say. libvlc hands the program pictures of the
// decoder's padded size (640 x 386 for a 640 x 360 stream), stretched to fill it.
double DisplayAspectOf(libvlc_media_player_t* player, libvlc_media_t* media)
{
    libvlc_media_track_t** tracks = nullptr;
    const unsigned count = libvlc_media_tracks_get(media, &tracks);
    double aspect = 0;
    for (unsigned i = 0; i < count; ++i) {
        const libvlc_media_track_t* track = tracks[i];
        if (track->i_type != libvlc_track_video || track->video == nullptr ||
            track->video->i_width == 0 || track->video->i_height == 0)
            continue;
        double pixel = 1.0;
        if (track->video->i_sar_num > 0 && track->video->i_sar_den > 0)
            pixel = double(track->video->i_sar_num) / track->video->i_sar_den;
        aspect = track->video->i_width * pixel / track->video->i_height;
        break;
    }
    if (tracks != nullptr)
        libvlc_media_tracks_release(tracks, count);
    // Until the tracks are described, the video output knows the visible size (pixels taken as
    // square).
    unsigned width = 0;
    unsigned height = 0;
    if (aspect == 0 && libvlc_video_get_size(player, 0, &width, &height) == 0 && height > 0)
        aspect = double(width) / height;
    // Anything outside this is a broken stream, not a picture to squash to a line.
    return aspect >= 0.2 && aspect <= 5.0 ? aspect : 0;
}

// The one form of address libvlc opens by itself: a channel's multicast group. Anything else
// reaches libvlc only as a relay URL, or not at all.
bool IsMulticastForm(const QString& address)
{
    for (int channel = 1; channel <= 8; ++channel)
        if (address == QStringLiteral("udp://@224.1.1.%1:1234").arg(channel))
            return true;
    return false;
}

} // namespace

std::chrono::seconds NextBackoff(std::chrono::seconds previous)
{
    if (previous <= std::chrono::seconds(0))
        return std::chrono::seconds(1);
    return std::min(previous * 2, kLongestBackoff);
}

// libvlc reports on its own threads. The link posts each report to the playback's thread while
// it is attached; detached (under its lock) it posts nothing more, so the playback is never
// reached after it has let go. A report already posted names its session and is ignored once
// that session has been let go.
class CChannelPlayback::EventLink
{
public:
    EventLink(CChannelPlayback* playback, quint64 serial) : m_playback(playback), m_serial(serial)
    {}

    void Detach()
    {
        const std::lock_guard lock(m_mutex);
        m_playback = nullptr;
    }

    static void OnEvent(const libvlc_event_t*, void* opaque)
    {
        auto* self = static_cast<EventLink*>(opaque);
        const std::lock_guard lock(self->m_mutex);
        if (self->m_playback == nullptr)
            return;
        QMetaObject::invokeMethod(
            self->m_playback,
            [playback = self->m_playback, serial = self->m_serial] { playback->OnStopped(serial); },
            Qt::QueuedConnection);
    }

private:
    std::mutex m_mutex;
    CChannelPlayback* m_playback;
    const quint64 m_serial;
};

struct CChannelPlayback::Session
{
    quint64 serial = 0;
    VlcMedia media; // ours, for its statistics
    VlcPlayer player;
    std::shared_ptr<fastzap::LiveSource> source; // what the player reads, when it plays fast
    std::shared_ptr<relay::Route> route;         // its way to an HTTP stream
    std::shared_ptr<VideoFrames> frames = std::make_shared<VideoFrames>();
    std::shared_ptr<EventLink> events;
    bool hasPicture = false;
    Progress progress{};
    int quietSeconds = 0;
};

CChannelPlayback::CChannelPlayback(QObject* parent) : QObject(parent)
{
    m_watchdog.setInterval(std::chrono::seconds(1));
    connect(&m_watchdog, &QTimer::timeout, this, &CChannelPlayback::Watch);
    m_shapeWait.setSingleShot(true);
    m_shapeWait.setInterval(kShapeWait);
    connect(&m_shapeWait, &QTimer::timeout, this, &CChannelPlayback::ShowPicture);
    m_reopen.setSingleShot(true);
    // The wait is counted down on screen: it must not run a few percent long.
    m_reopen.setTimerType(Qt::PreciseTimer);
    connect(&m_reopen, &QTimer::timeout, this, [this] {
        Start();
        emit Reopening();
    });
}

CChannelPlayback::~CChannelPlayback()
{
    Close();
}

void CChannelPlayback::Open(const QString& address)
{
    m_reopen.stop();
    m_backoff = std::chrono::seconds(0);
    m_address = address;
    Start();
}

void CChannelPlayback::Close()
{
    m_watchdog.stop();
    m_reopen.stop();
    LetGo();
}

void CChannelPlayback::Start()
{
    LetGo();
    m_displayAspect = 0;
    auto session = std::make_unique<Session>();
    session->serial = ++m_serial;
    if (m_fastSources && m_instance != nullptr)
        session->source = m_fastSources(m_address);
    if (session->source) {
        session->media =
            VlcMedia(libvlc_media_new_callbacks(m_instance, FastZapMediaOpen, FastZapMediaRead,
                                                nullptr, FastZapMediaClose, session->source.get()));
        if (session->media)
            AddMediaOptions(session->media.get(), kFastOptions + kDecodeOptions);
    } else {
        if (m_relay != nullptr)
            session->route = m_relay->Open(m_address);
        if (session->route || IsMulticastForm(m_address))
            session->media =
                CreateVlcMedia(m_instance, session->route ? session->route->LocalUrl() : m_address,
                               m_mediaOptions + kDecodeOptions);
    }
    session->player = CreateVlcPlayer(session->media.get());
    if (!session->player) {
        Trace(QStringLiteral("play %1: %2")
                  .arg(m_address, session->media ? QStringLiteral("libvlc could not make a player")
                                                 : QStringLiteral("no relay route to it")));
        return; // nothing to show: the window stays empty
    }
    Trace(QStringLiteral("play %1%2")
              .arg(m_address,
                   session->source ? QStringLiteral(" from its buffered pictures") : QString()));

    libvlc_media_player_t* player = session->player.get();
    VideoFrames* frames = session->frames.get();
    frames->SetNotify([this, serial = session->serial] {
        QMetaObject::invokeMethod(
            this, [this, serial] { OnPicture(serial); }, Qt::QueuedConnection);
    });
    libvlc_video_set_format_callbacks(player, VideoFrames::Format, VideoFrames::Cleanup);
    libvlc_video_set_callbacks(player, VideoFrames::Lock, VideoFrames::Unlock, VideoFrames::Display,
                               frames);
    session->events = std::make_shared<EventLink>(this, session->serial);
    libvlc_event_manager_t* events = libvlc_media_player_event_manager(player);
    for (const libvlc_event_e type : kStopEvents)
        libvlc_event_attach(events, type, EventLink::OnEvent, session->events.get());

    m_session = std::move(session);
    ApplyAudio();
    libvlc_media_player_play(player);
    m_watchdog.start();
}

void CChannelPlayback::LetGo()
{
    m_shapeWait.stop();
    if (!m_session)
        return;
    const std::unique_ptr<Session> session = std::move(m_session);
    session->frames->SetNotify({});
    if (session->events)
        session->events->Detach();
    // The player goes first; what its callbacks use, and our media, after it.
    LetGoOf(std::move(session->player),
            std::make_shared<
                std::tuple<VlcMedia, std::shared_ptr<VideoFrames>, std::shared_ptr<EventLink>>>(
                std::move(session->media), session->frames, session->events));
}

libvlc_media_player_t* CChannelPlayback::Player() const
{
    return m_session ? m_session->player.get() : nullptr;
}

VideoFrames::Picture CChannelPlayback::Picture() const
{
    return HasPicture() ? m_session->frames->Latest() : VideoFrames::Picture{};
}

bool CChannelPlayback::HasPicture() const
{
    return m_session && m_session->hasPicture;
}

std::optional<std::chrono::seconds> CChannelPlayback::PendingReopen() const
{
    if (!m_reopen.isActive())
        return std::nullopt;
    return m_backoff;
}

std::chrono::milliseconds CChannelPlayback::UntilReopen() const
{
    return m_reopen.isActive() ? m_reopen.remainingTimeAsDuration() : std::chrono::milliseconds(0);
}

void CChannelPlayback::SetAudio(int volume, bool muted)
{
    m_volume = std::clamp(volume, 0, 100);
    m_muted = muted;
    ApplyAudio();
}

void CChannelPlayback::ApplyAudio()
{
    if (!m_session)
        return;
    // Both stay with the player and reach each audio output it opens.
    libvlc_audio_set_volume(m_session->player.get(), m_volume);
    libvlc_audio_set_mute(m_session->player.get(), m_muted ? 1 : 0);
}

void CChannelPlayback::OnPicture(quint64 serial)
{
    if (!m_session || m_session->serial != serial)
        return;
    m_session->frames->Acknowledge();
    // libvlc describes the picture's shape a moment after its first picture: a picture shown
    // before would be shown stretched. The next picture comes at most a frame later (the first
    // ones of a buffered group of pictures come in a burst); without one, it shows anyway.
    if (m_displayAspect == 0)
        m_displayAspect = DisplayAspectOf(m_session->player.get(), m_session->media.get());
    if (m_displayAspect == 0 && !m_session->hasPicture) {
        if (!m_shapeWait.isActive())
            m_shapeWait.start();
        return;
    }
    ShowPicture();
}

void CChannelPlayback::ShowPicture()
{
    m_shapeWait.stop();
    if (!m_session)
        return;
    if (!m_session->hasPicture) {
        m_session->hasPicture = true;
        m_backoff = std::chrono::seconds(0); // pictures again: the next stop starts afresh
        emit PicturesStarted();
    }
    emit PictureChanged();
}

void CChannelPlayback::OnStopped(quint64 serial)
{
    if (m_session && m_session->serial == serial)
        Reopen(QStringLiteral("the stream ended or failed"));
}

void CChannelPlayback::ReopenLater()
{
    Reopen(QStringLiteral("asked to"));
}

void CChannelPlayback::Reopen(const QString& why)
{
    if (!m_session || m_reopen.isActive())
        return;
    m_watchdog.stop();
    LetGo();
    m_backoff = NextBackoff(m_backoff);
    m_reopen.start(m_backoff);
    Trace(QStringLiteral("stopped %1 (%2); opening it again in %3 s")
              .arg(m_address, why)
              .arg(m_backoff.count()));
    emit Lost();
}

void CChannelPlayback::Watch()
{
    if (!m_session)
        return;
    const Progress now = ProgressOf(m_session->media.get());
    if (now != m_session->progress) {
        m_session->progress = now;
        m_session->quietSeconds = 0;
        return;
    }
    if (++m_session->quietSeconds >= kStallTime.count())
        Reopen(QStringLiteral("nothing came in for %1 s").arg(kStallTime.count()));
}
