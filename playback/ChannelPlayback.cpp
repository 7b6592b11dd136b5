#include "ChannelPlayback.h"

#include "GroupAddress.h"
#include "GroupWatch.h"
#include "LiveSource.h"
#include "SourcePipe.h"
#include "StreamRelay.h"
#include "TsFramer.h"
#include "TsPacket.h"
#include "Verbose.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <span>
#include <tuple>
#include <vector>
#include <vlc/vlc.h>

namespace {

constexpr std::chrono::seconds kLongestBackoff{30};

// The fast source paces the buffered group and the first live packets by their (squeezed)
// decode times, fastzap/CatchUp.h: libvlc must take its clock from those, not from the stream's
// clock references. The group's pictures come up to four times as fast as they play, one after
// the other, so one decoder thread is as fast as several and starts sooner.
const QStringList kFastOptions = {QStringLiteral(":no-ts-trust-pcr"), QStringLiteral(":demux=ts"),
                                  QStringLiteral(":avcodec-threads=1")};

// Pictures are decoded into memory the program paints: a picture decoded on a graphics card
// would have to be copied back, and trying the cards' decoders first costs every channel
// change a video output made and dropped for each.
const QStringList kDecodeOptions = {QStringLiteral(":avcodec-hw=none")};

// The fast source comes through a pipe, which libvlc buffers for its file caching: the caching
// the site asked for its network.
QStringList PipeOptions(const QStringList& options)
{
    static const QString network = QStringLiteral(":network-caching=");
    QStringList pipe;
    for (const QString& option : options) {
        if (option.startsWith(network))
            pipe.append(QStringLiteral(":file-caching=") + option.mid(network.size()));
    }
    return pipe;
}

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

// libvlc's description of the video track, once it has made one: for a stream whose sequence
// header the program could not read. libvlc describes it a moment after its video output is made.
void TellTrackShape(libvlc_media_t* media, VideoFrames& frames)
{
    libvlc_media_track_t** tracks = nullptr;
    const unsigned count = libvlc_media_tracks_get(media, &tracks);
    for (unsigned i = 0; i < count; ++i) {
        const libvlc_media_track_t* track = tracks[i];
        if (track->i_type == libvlc_track_video && track->video != nullptr &&
            track->video->i_width > 0 && track->video->i_height > 0) {
            frames.SetTrackShape(track->video->i_width, track->video->i_height,
                                 track->video->i_sar_num, track->video->i_sar_den);
            break;
        }
    }
    if (tracks != nullptr)
        libvlc_media_tracks_release(tracks, count);
}

// How far back the panel's rates look, in the watch's one-second samples. A storage server's
// stream comes a segment at a time, seconds of it in one burst: its rate is taken over several.
constexpr std::size_t kRateSamples = 5;
constexpr std::size_t kSegmentRateSamples = 20;

// The timestamp (DTS, else PTS; 90 kHz) of the first video PES in a transport stream as it
// passes: libvlc counts its player time from it when it reads the group's buffered pictures.
class FirstVideoTimestamp
{
public:
    void Read(std::span<const std::uint8_t> bytes)
    {
        if (m_found.load(std::memory_order_relaxed) >= 0)
            return;
        m_packets.clear();
        m_framer.Push(bytes, m_packets);
        for (const fastzap::TsPacket& packet : m_packets) {
            if (const auto stamp = PesTimestamp(packet)) {
                m_found.store(std::int64_t(*stamp), std::memory_order_relaxed);
                return;
            }
        }
    }
    std::optional<std::uint64_t> Found() const
    {
        const std::int64_t found = m_found.load(std::memory_order_relaxed);
        return found >= 0 ? std::optional(std::uint64_t(found)) : std::nullopt;
    }

private:
    // A video PES (stream id 0xE0 to 0xEF) starting in `packet`, with the timestamps its header
    // makes room for.
    static std::optional<std::uint64_t> PesTimestamp(const fastzap::TsPacket& packet)
    {
        const std::optional<fastzap::PesStart> start = fastzap::PesStartOf(packet);
        if (!start || (packet.Payload()[3] & 0xF0) != 0xE0 || !(start->dts || start->pts))
            return std::nullopt;
        return fastzap::PesStamp(packet.bytes.data() + start->dts.value_or(start->pts.value_or(0)));
    }

    fastzap::TsFramer m_framer;
    std::vector<fastzap::TsPacket> m_packets;
    std::atomic<std::int64_t> m_found{-1};
};

// Reads the sequence headers of a transport stream as it passes, and tells `frames` the shapes.
class ShapeReader
{
public:
    explicit ShapeReader(std::shared_ptr<VideoFrames> frames) : m_frames(std::move(frames)) {}
    void Read(std::span<const std::uint8_t> bytes)
    {
        m_found.clear();
        m_watch.Push(bytes, m_found);
        for (const fastzap::VideoShape& shape : m_found)
            m_frames->AddShape(shape);
    }

private:
    std::shared_ptr<VideoFrames> m_frames;
    fastzap::TsShapeWatch m_watch;
    std::vector<fastzap::VideoShape> m_found;
};

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

// The fast source's bytes on their way to libvlc, their sequence headers read: the buffered
// group of pictures starts with one, so the shape is known before libvlc has decoded a picture.
struct CChannelPlayback::SourceTap
{
    explicit SourceTap(std::shared_ptr<VideoFrames> frames) : shapes(std::move(frames)) {}

    ShapeReader shapes;
    FirstVideoTimestamp first;

    void Read(std::span<const std::uint8_t> bytes)
    {
        shapes.Read(bytes);
        first.Read(bytes);
    }
};

struct CChannelPlayback::Session
{
    quint64 serial = 0;
    VlcMedia media; // ours, for its statistics
    std::shared_ptr<VideoFrames> frames = std::make_shared<VideoFrames>();
    std::unique_ptr<fastzap::SourcePipe> pipe; // what the player reads, when it plays fast,
    std::shared_ptr<SourceTap> tap;            // and what passes through it
    std::shared_ptr<relay::Route> route;       // its way to an HTTP stream
    std::unique_ptr<GroupWatch> watch;         // its sequence headers, when libvlc joins a group
    // The bytes of the segments the relay passed on: libvlc fetches them on connections of its
    // own, which its statistics leave out.
    std::shared_ptr<std::atomic<qint64>> relayed = std::make_shared<std::atomic<qint64>>(0);
    std::shared_ptr<EventLink> events;
    // After everything it reads and calls, so that it would be let go first.
    VlcPlayer player;
    bool hasPicture = false;
    Progress progress{};
    int quietSeconds = 0;
    // The watch's samples for the panel's rates: when, bytes read, pictures shown.
    struct RateSample
    {
        std::chrono::steady_clock::time_point at;
        qint64 readBytes = 0;
        std::uint64_t shown = 0;
    };
    std::deque<RateSample> rates;
    bool frameRateKnown = false;
};

CChannelPlayback::CChannelPlayback(QObject* parent) : QObject(parent)
{
    m_watchdog.setInterval(std::chrono::seconds(1));
    connect(&m_watchdog, &QTimer::timeout, this, &CChannelPlayback::Watch);
    m_reopen.setSingleShot(true);
    // The wait is counted down on screen: it must not run a few percent long.
    m_reopen.setTimerType(Qt::PreciseTimer);
    connect(&m_reopen, &QTimer::timeout, this, [this] {
        Start();
        // No player could be made (libvlc out of resources, the relay gone): nothing would
        // ever stop and ask again, so the wait for the next try starts here.
        if (!m_session) {
            m_backoff = NextBackoff(m_backoff);
            m_reopen.start(m_backoff);
        }
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
    m_plainOnly = false;
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
    auto session = std::make_unique<Session>();
    session->serial = ++m_serial;
    if (!m_area.isEmpty())
        session->frames->SetArea(m_area);
    session->frames->SetLargest(m_screen);
    std::shared_ptr<fastzap::LiveSource> live;
    if (m_fastSources && m_instance != nullptr && !m_plainOnly)
        live = m_fastSources(m_address);
    if (live) {
        // The pace of a source that catches up is counted from the player's first picture.
        session->frames->SetFirstShown([weak = std::weak_ptr<fastzap::LiveSource>(live)] {
            if (const auto source = weak.lock())
                source->PictureShown();
        });
        auto tap = std::make_shared<SourceTap>(session->frames);
        session->pipe = fastzap::SourcePipe::Start(
            std::move(live), [tap](std::span<const std::uint8_t> bytes) { tap->Read(bytes); });
        if (session->pipe) {
            session->tap = std::move(tap);
            session->media =
                CreateVlcMedia(m_instance, QString::fromStdString(session->pipe->Location()),
                               kFastOptions + PipeOptions(m_mediaOptions) + kDecodeOptions);
        } else {
            Trace(QStringLiteral("play %1: no pipe for its buffered pictures (%2), from its group")
                      .arg(m_address, QString::fromLocal8Bit(std::strerror(errno))));
        }
    }
    if (!session->pipe) {
        if (m_relay != nullptr)
            session->route = m_relay->Open(m_address);
        if (session->route) {
            // Each segment's sequence headers are read as the relay passes it on.
            session->route->ObserveBodies([frames = session->frames, relayed = session->relayed] {
                auto reader = std::make_shared<ShapeReader>(frames);
                return [reader, relayed](QByteArrayView chunk) {
                    relayed->fetch_add(chunk.size(), std::memory_order_relaxed);
                    reader->Read(std::span<const std::uint8_t>(
                        reinterpret_cast<const std::uint8_t*>(chunk.data()),
                        std::size_t(chunk.size())));
                };
            });
        } else if (m_instance != nullptr) {
            session->watch = GroupWatch::Start(m_address, session->frames);
        }
        if (session->route || ParseGroupAddress(m_address).has_value())
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
                   session->pipe ? QStringLiteral(" from its buffered pictures") : QString()));

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
    if (!m_session)
        return;
    const std::unique_ptr<Session> session = std::move(m_session);
    session->frames->SetNotify({});
    libvlc_media_stats_t stats{};
    if (Verbose() && session->media && libvlc_media_get_stats(session->media.get(), &stats))
        Trace(QStringLiteral("played %1: %2 pictures decoded, %3 shown, %4 lost")
                  .arg(m_address)
                  .arg(stats.i_decoded_video)
                  .arg(stats.i_displayed_pictures)
                  .arg(stats.i_lost_pictures));
    if (session->events)
        session->events->Detach();
    // The channel stops feeding a source nobody will read (libvlc's stop interrupts its own
    // read of the pipe).
    if (session->pipe)
        session->pipe->Cancel();
    // The player goes first; what its callbacks use, the pipe it reads and our media, after it.
    LetGoOf(std::move(session->player),
            std::make_shared<
                std::tuple<VlcMedia, std::shared_ptr<VideoFrames>, std::shared_ptr<EventLink>,
                           std::unique_ptr<fastzap::SourcePipe>>>(std::move(session->media),
                                                                  session->frames, session->events,
                                                                  std::move(session->pipe)));
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

CChannelPlayback::Figures CChannelPlayback::CurrentFigures() const
{
    Figures figures;
    figures.address = m_address;
    if (!m_session)
        return figures;
    const Session& session = *m_session;
    figures.fromBuffer = session.pipe != nullptr;
    figures.throughRelay = session.route != nullptr;
    figures.shape = session.frames->CurrentShape();
    figures.late = session.frames->PictureTiming().late;
    if (session.tap)
        figures.firstTimestamp = session.tap->first.Found();

    libvlc_media_t* media = session.media.get();
    libvlc_media_stats_t stats{};
    if (media != nullptr && libvlc_media_get_stats(media, &stats)) {
        figures.decoded = stats.i_decoded_video;
        figures.dropped = stats.i_lost_pictures;
    }
    if (session.rates.size() >= 2) {
        const Session::RateSample& from = session.rates.front();
        const Session::RateSample& to = session.rates.back();
        const double seconds = std::chrono::duration<double>(to.at - from.at).count();
        // libvlc counts its bytes in a 32-bit int, which wraps on a long run.
        const auto bytes = quint32(to.readBytes) - quint32(from.readBytes);
        if (seconds > 0) {
            figures.bitRate = bytes * 8.0 / seconds;
            figures.shownRate = double(to.shown - from.shown) / seconds;
        }
    }

    libvlc_media_track_t** tracks = nullptr;
    const unsigned count = media != nullptr ? libvlc_media_tracks_get(media, &tracks) : 0;
    for (unsigned i = 0; i < count; ++i) {
        const libvlc_media_track_t* track = tracks[i];
        const char* codec = libvlc_media_get_codec_description(track->i_type, track->i_codec);
        const QString name = codec != nullptr && *codec != 0 ? QString::fromUtf8(codec) : QString();
        if (track->i_type == libvlc_track_video && track->video != nullptr &&
            figures.videoCodec.isEmpty()) {
            figures.videoCodec = name;
            if (track->video->i_frame_rate_den > 0)
                figures.frameRate =
                    double(track->video->i_frame_rate_num) / track->video->i_frame_rate_den;
        } else if (track->i_type == libvlc_track_audio && track->audio != nullptr &&
                   figures.audioCodec.isEmpty()) {
            figures.audioCodec = name.isEmpty() ? QStringLiteral("?") : name;
            figures.audioChannels = track->audio->i_channels;
            figures.audioRate = track->audio->i_rate;
        }
    }
    if (tracks != nullptr)
        libvlc_media_tracks_release(tracks, count);

    if (session.player && libvlc_media_player_is_playing(session.player.get()) != 0) {
        const libvlc_time_t time = libvlc_media_player_get_time(session.player.get());
        if (time >= 0)
            figures.timeMs = time;
    }
    return figures;
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

void CChannelPlayback::SetPictureArea(QSize area, QSize screen)
{
    m_area = area;
    m_screen = screen;
    if (m_session) {
        m_session->frames->SetArea(area);
        m_session->frames->SetLargest(screen);
    }
}

void CChannelPlayback::OnPicture(quint64 serial)
{
    if (!m_session || m_session->serial != serial)
        return;
    VideoFrames& frames = *m_session->frames;
    frames.Acknowledge();
    // A picture whose shape the stream's headers did not tell waits for libvlc's description.
    if (frames.NeedsShape())
        TellTrackShape(m_session->media.get(), frames);
    if (frames.Latest().isNull())
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
    if (!m_session || m_session->serial != serial)
        return;
    // Buffered pictures that end before one is shown (or a pipe libvlc could not open) would
    // end the same way at every reopen: the next opening joins the group itself.
    if (m_session->pipe && !m_session->hasPicture)
        m_plainOnly = true;
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
    Session& session = *m_session;
    session.rates.push_back(
        {std::chrono::steady_clock::now(),
         session.route ? session.relayed->load(std::memory_order_relaxed) : now[0],
         session.frames->PictureTiming().shown});
    if (session.rates.size() > (session.route ? kSegmentRateSamples : kRateSamples) + 1)
        session.rates.pop_front();
    if (!session.frameRateKnown) {
        // The picture path counts a picture late against the stream's own rate.
        const double rate = CurrentFigures().frameRate;
        session.frameRateKnown = rate > 0;
        if (rate > 0)
            session.frames->SetFrameRate(rate);
    }
    if (now != m_session->progress) {
        m_session->progress = now;
        m_session->quietSeconds = 0;
        return;
    }
    if (++m_session->quietSeconds >= kStallTime.count())
        Reopen(QStringLiteral("nothing came in for %1 s").arg(kStallTime.count()));
}
