#pragma once

#include "RelayTestKit.h"

#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

struct libvlc_instance_t;
struct libvlc_media_player_t;

// Live streams as the demo network makes them (ffmpeg, 1-second HLS segments) and a real
// libvlc 3 player that decodes into memory, for the relay's tests and measurements.

// A folder for the streams, and a short H.264 test-pattern clip in it (made on first use).
class MediaFolder
{
public:
    QString path(const QString& name) const { return m_dir.filePath(name); }
    // `size` as ffmpeg takes it; the demo channels are 640x360.
    QString clip(const QString& size = QStringLiteral("320x240"));

private:
    QTemporaryDir m_dir;
    QMap<QString, QString> m_clips;
};

// ffmpeg sending `clip` on a loop, live, as HLS into `folder`; waits for the first playlist.
class LiveHls
{
public:
    LiveHls(const QString& clip, const QString& folder);
    ~LiveHls();
    LiveHls(const LiveHls&) = delete;
    LiveHls& operator=(const LiveHls&) = delete;
    bool ready() const { return m_ready; }

private:
    QProcess m_ffmpeg;
    bool m_ready = false;
};

// tests/e2e/hostile_hls.py serving a folder: freeze(), drip(), an endless segment.
class HostileHlsServer : public ScriptServer
{
public:
    explicit HostileHlsServer(const QStringList& args);
    QString playlistUrl() const { return url(QStringLiteral("/index.m3u8")); }
    // The paths requested, and whether each came through the relay (it says so with Via).
    QStringList requests(bool* allRelayed = nullptr);
    void freeze() { command("freeze"); }
    void drip(int bytesPerSecond) { command("drip " + QByteArray::number(bytesPerSecond)); }
};

struct VlcRelease
{
    void operator()(libvlc_instance_t* instance) const;
};
using Vlc = std::unique_ptr<libvlc_instance_t, VlcRelease>;

struct VlcPlayerRelease
{
    void operator()(libvlc_media_player_t* player) const;
};
using VlcPlayer = std::unique_ptr<libvlc_media_player_t, VlcPlayerRelease>;

// A libvlc instance for players without a display. Empty on failure.
Vlc NewVlc();

// A libvlc media player whose pictures are decoded into memory and counted.
class MemoryPlayer
{
public:
    MemoryPlayer(libvlc_instance_t* vlc, const QString& url);
    // Stops the player as Stop does; a player whose stop never returns is left to its thread.
    ~MemoryPlayer();
    MemoryPlayer(const MemoryPlayer&) = delete;
    MemoryPlayer& operator=(const MemoryPlayer&) = delete;

    bool valid() const { return m_player != nullptr; }
    bool Play();
    int Pictures() const { return m_canvas->pictures.load(); }
    // The player has stopped by itself: its stream ended or failed.
    bool Ended() const;

    // Runs libvlc_media_player_stop on a thread of its own and waits up to `limit`: how long it
    // took, or empty when it is still running.
    std::optional<std::chrono::milliseconds> Stop(std::chrono::milliseconds limit);

private:
    static unsigned format(void** opaque, char* chroma, unsigned* width, unsigned* height,
                           unsigned* pitches, unsigned* lines);
    static void* lock(void* opaque, void** planes);
    static void display(void* opaque, void* picture);

    // What libvlc draws into; apart from this object, so that a player whose stop never
    // returned can be left with it.
    struct Canvas
    {
        std::vector<unsigned char> frame;
        std::atomic<int> pictures{0};
    };

    std::unique_ptr<Canvas> m_canvas = std::make_unique<Canvas>();
    VlcPlayer m_player;
    bool m_stopped = false;
    bool m_hung = false;
};

// This process's resident memory, in bytes.
qint64 ResidentBytes();
