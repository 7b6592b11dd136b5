#include "MediaLibrary.h"

#include "Allocator.h"
#include "Background.h"
#include "Verbose.h"

#include <QString>
#include <cstdarg>
#include <cstdio>
#include <vlc/vlc.h>

void VlcInstanceRelease::operator()(libvlc_instance_t* instance) const
{
    libvlc_release(instance);
}

void VlcMediaRelease::operator()(libvlc_media_t* media) const
{
    libvlc_media_release(media);
}

void VlcPlayerRelease::operator()(libvlc_media_player_t* player) const
{
    LetGoOf(VlcPlayer(player), {});
}

void LetGoOf(VlcPlayer player, std::shared_ptr<void> keepAlive)
{
    if (!player)
        return;
    background::Run([player = player.release(), keepAlive = std::move(keepAlive)]() mutable {
        libvlc_media_player_stop(player);
        libvlc_media_player_release(player);
        keepAlive.reset();
        // A player can leave a lot of freed memory behind (libvlc keeps whole downloaded
        // segments); give it back now rather than when the next allocation happens to.
        ReturnFreedMemory();
    });
}

namespace {

// libvlc logs to standard error by itself, about seventeen lines for every channel change; the
// program is quiet unless asked to tell what it does.
void Log(void*, int level, const libvlc_log_t* context, const char* format, va_list args)
{
    if (!Verbose() || level < LIBVLC_NOTICE)
        return;
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    const char* module = nullptr;
    libvlc_log_get_context(context, &module, nullptr, nullptr);
    Trace(QStringLiteral("libvlc %1: %2")
              .arg(QString::fromUtf8(module != nullptr ? module : "?"), QString::fromUtf8(text)));
}

} // namespace

VlcInstance CreateVlcInstance()
{
    // libvlc's decoders hand libavcodec's own messages straight to stderr unless libvlc is
    // quiet; a player being stopped mid-frame makes a few ("get_buffer() failed"), which mean
    // nothing to a viewer. With --verbose they stay, beside libvlc's log.
    //
    // libvlc's own converter only copies the pictures to the program when their shape is known;
    // for a stream whose shape is not, it stretches the visible area over the decoder's few
    // padding lines, for which its cheapest filter is as good as its bicubic default and costs a
    // fraction.
    const char* const options[] = {"--swscale-mode=0", "--quiet"};
    VlcInstance instance(libvlc_new(Verbose() ? 1 : 2, options));
    if (instance)
        libvlc_log_set(instance.get(), Log, nullptr);
    return instance;
}

QStringList LiveStreamOptions(int networkCachingMs)
{
    return {QStringLiteral(":network-caching=%1").arg(networkCachingMs)};
}

VlcMedia CreateVlcMedia(libvlc_instance_t* instance, const QString& address,
                        const QStringList& options)
{
    if (instance == nullptr)
        return {};
    VlcMedia media(libvlc_media_new_location(instance, address.toUtf8().constData()));
    if (!media)
        return {};
    AddMediaOptions(media.get(), options);
    return media;
}

void AddMediaOptions(libvlc_media_t* media, const QStringList& options)
{
    for (const QString& option : options)
        libvlc_media_add_option(media, option.toUtf8().constData());
}

VlcPlayer CreateVlcPlayer(libvlc_media_t* media)
{
    if (media == nullptr)
        return {};
    // The player takes a reference of its own to the media.
    return VlcPlayer(libvlc_media_player_new_from_media(media));
}
