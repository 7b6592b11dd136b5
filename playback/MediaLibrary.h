#pragma once

#include <QStringList>
#include <memory>

struct libvlc_instance_t;
struct libvlc_media_t;
struct libvlc_media_player_t;
class QString;

// Owning handles for libvlc objects: each releases itself, and a handle that could not be
// created is never handed on.

struct VlcInstanceRelease
{
    void operator()(libvlc_instance_t* instance) const;
};
using VlcInstance = std::unique_ptr<libvlc_instance_t, VlcInstanceRelease>;

struct VlcMediaRelease
{
    void operator()(libvlc_media_t* media) const;
};
using VlcMedia = std::unique_ptr<libvlc_media_t, VlcMediaRelease>;

// Stopping a player can wait on the network for as long as a server keeps libvlc reading, so a
// player is stopped and released on a teardown thread of its own, never where it is let go.
struct VlcPlayerRelease
{
    void operator()(libvlc_media_player_t* player) const;
};
using VlcPlayer = std::unique_ptr<libvlc_media_player_t, VlcPlayerRelease>;

// Lets go of `player` as its deleter does, and drops `keepAlive` (whatever the player's
// callbacks use) only after the player is released. Returns at once.
void LetGoOf(VlcPlayer player, std::shared_ptr<void> keepAlive);

// The process's one libvlc instance, with libvlc's defaults; empty when libvlc cannot start.
VlcInstance CreateVlcInstance();

// How long libvlc buffers a live stream before showing it, unless Quorvel.ini says otherwise.
// libvlc's default, 1000 ms, is meant for the open internet; on a LAN it only delays every
// channel change. 100 ms still rides out tens of milliseconds of network jitter.
constexpr int kDefaultNetworkCachingMs = 100;

// Per-media options for the live channels.
QStringList LiveStreamOptions(int networkCachingMs);

// A media for `address` (converted to UTF-8 at this boundary) with per-media `options` such as
// ":network-caching=300"; empty on failure.
VlcMedia CreateVlcMedia(libvlc_instance_t* instance, const QString& address,
                        const QStringList& options = {});

// Adds per-media `options` (converted to UTF-8) to `media`.
void AddMediaOptions(libvlc_media_t* media, const QStringList& options);

// A media player for `media`; empty on failure.
VlcPlayer CreateVlcPlayer(libvlc_media_t* media);
