#include "MediaLibrary.h"

#include <QGuiApplication>
#include <QString>
#include <QWidget>
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
    libvlc_media_player_stop(player);
    libvlc_media_player_release(player);
}

VlcInstance CreateVlcInstance()
{
    return VlcInstance(libvlc_new(0, nullptr));
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
    for (const QString& option : options)
        libvlc_media_add_option(media.get(), option.toUtf8().constData());
    return media;
}

VlcPlayer CreateVlcPlayer(libvlc_instance_t* instance, const QString& address,
                          const QStringList& options)
{
    const VlcMedia media = CreateVlcMedia(instance, address, options);
    if (!media)
        return {};
    // The player takes a reference of its own; ours goes with `media`.
    return VlcPlayer(libvlc_media_player_new_from_media(media.get()));
}

bool BindToWindow(libvlc_media_player_t* player, QWidget* window)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return false;
    libvlc_media_player_set_xwindow(player, quint32(window->winId()));
    // The window, not libvlc, answers keys and mouse clicks.
    libvlc_video_set_key_input(player, false);
    libvlc_video_set_mouse_input(player, false);
    return true;
}
