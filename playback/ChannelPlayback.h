#pragma once

#include "MediaLibrary.h"
#include "VideoFrames.h"

#include <QObject>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace fastzap {
class LiveSource;
}
namespace relay {
class StreamRelay;
}

// Wait before reopening a stream that stopped: 1 s, then twice the last wait, at most 30 s.
std::chrono::seconds NextBackoff(std::chrono::seconds previous);

// One playing channel: its media and player, the watch over its progress and the reopening of a
// stream that stopped. The window shows what it decodes and takes the keys.
//
// Every libvlc call here is one that returns at once. A player being let go (on a channel
// change, a reopen, or when the window closes) is stopped and released on a teardown thread,
// because libvlc can hold a stop for as long as a server keeps it waiting.
class CChannelPlayback : public QObject
{
    Q_OBJECT

public:
    // A stream has stalled when nothing at all has come in for this long: no byte demuxed, no
    // sound and no picture decoded.
    static constexpr std::chrono::seconds kStallTime{5};

    explicit CChannelPlayback(QObject* parent = nullptr);
    ~CChannelPlayback() override;

    void SetInstance(libvlc_instance_t* instance) { m_instance = instance; }
    void SetMediaOptions(const QStringList& options) { m_mediaOptions = options; }

    // Where a channel's buffered group of pictures and its live packets come from, for an
    // address that has them; none, and the player opens the address itself.
    using FastSources = std::function<std::shared_ptr<fastzap::LiveSource>(const QString&)>;
    void SetFastSources(FastSources sources) { m_fastSources = std::move(sources); }
    const FastSources& CurrentFastSources() const { return m_fastSources; }
    // HTTP streams are played through `relay`, which bounds what libvlc is sent and lets a
    // player's reads be cut when it is let go. libvlc is given nothing else but a multicast
    // group's address: without a relay, or for an address it cannot route, nothing plays.
    void SetRelay(relay::StreamRelay* relay) { m_relay = relay; }

    // Plays `address`, letting go of whatever played before; the back-off starts afresh.
    void Open(const QString& address);
    // Lets go of the player; nothing is reopened.
    void Close();
    // Volume 0 to 100 and mute, for this player and every one it opens.
    void SetAudio(int volume, bool muted);
    bool Muted() const { return m_muted; }
    // Where the pictures are shown and the screen they are on, in device pixels, for this
    // player and every one it opens: pictures are made at the size they are shown.
    void SetPictureArea(QSize area, QSize screen);

    libvlc_media_player_t* Player() const;
    // Whether a player is playing, or a stopped stream waits to be opened again.
    bool IsOpen() const { return m_session != nullptr || m_reopen.isActive(); }
    QString Address() const { return m_address; }
    // The newest picture since the stream was last opened; null before it.
    VideoFrames::Picture Picture() const;
    bool HasPicture() const;
    // The wait before the stream is reopened, while one is pending.
    std::optional<std::chrono::seconds> PendingReopen() const;
    // Time left before that reopen.
    std::chrono::milliseconds UntilReopen() const;
    // The wait the next stop would bring (after 1 s, 2 s... since pictures last came).
    std::chrono::seconds Backoff() const { return m_backoff; }

    // What the viewer's panel of figures shows of this player, from libvlc's statistics and
    // tracks and from the picture path. Nothing here waits: libvlc only copies counters out.
    struct Figures
    {
        QString address;
        bool fromBuffer = false;   // started from the group's buffered pictures
        bool throughRelay = false; // an HTTP stream read through the relay
        QString videoCodec;        // libvlc's description; empty before its track is known
        double frameRate = 0;      // the stream's, as its track says; 0 when it does not
        VideoFrames::Shape shape;
        double bitRate = 0;   // bits a second read over the last few seconds; 0 before a second
        double shownRate = 0; // pictures shown a second over the same seconds
        qint64 decoded = 0;
        qint64 dropped = 0;     // libvlc's video output threw them away (too late, mostly)
        std::uint64_t late = 0; // shown over half a frame time after their turn
        QString audioCodec;     // empty without sound
        unsigned audioChannels = 0;
        unsigned audioRate = 0;
        // libvlc's time of the picture it shows, and the first video timestamp (90 kHz) libvlc
        // read from the group's buffered pictures, which that time counts from.
        std::optional<qint64> timeMs;
        std::optional<std::uint64_t> firstTimestamp;
    };
    Figures CurrentFigures() const;

signals:
    void PictureChanged();
    // The first picture since the stream was opened or reopened.
    void PicturesStarted();
    // The stream stopped; it is reopened after PendingReopen().
    void Lost();
    // The wait is over and the stream is being opened again.
    void Reopening();

public slots:
    // Lets go of a stream that stopped, and opens it again after the next back-off. A report
    // that comes while a reopen waits changes nothing.
    void ReopenLater();
    // The watchdog's tick, once a second while a player plays: a stream that has shown no
    // progress for kStallTime ticks has stalled. Public so that a test can be its clock.
    void Watch();

private:
    struct Session;
    class EventLink;
    struct SourceTap;

    void Start();
    void LetGo();
    void Reopen(const QString& why);
    void OnPicture(quint64 serial);
    void OnStopped(quint64 serial);
    void ApplyAudio();

    libvlc_instance_t* m_instance = nullptr; // lent by the channel window
    QStringList m_mediaOptions = LiveStreamOptions(kDefaultNetworkCachingMs);
    bool m_plainOnly = false; // the buffered pictures failed this address: join its group
    FastSources m_fastSources;
    relay::StreamRelay* m_relay = nullptr; // the channel window's
    QString m_address;
    std::unique_ptr<Session> m_session;
    quint64 m_serial = 0;
    QSize m_area;
    QSize m_screen;
    int m_volume = 100;
    bool m_muted = false;

    QTimer m_watchdog; // once a second: has anything come in?
    QTimer m_reopen;
    std::chrono::seconds m_backoff{0};
};
