#include "MediaLibrary.h"

#include <QGuiApplication>
#include <QString>
#include <QWidget>
#include <vlc/vlc.h>

void VlcInstanceRelease::operator()(libvlc_instance_t* instance) const
{
    libvlc_release(instance);
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

VlcPlayer CreateVlcPlayer(libvlc_instance_t* instance, const QString& address)
{
    if (instance == nullptr)
        return {};
    libvlc_media_t* media = libvlc_media_new_location(instance, address.toUtf8().constData());
    if (media == nullptr)
        return {};
    VlcPlayer player(libvlc_media_player_new_from_media(media));
    libvlc_media_release(media); // the player holds its own reference
    return player;
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
