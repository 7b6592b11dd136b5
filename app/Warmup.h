#pragma once

#include "MediaLibrary.h"

#include <QByteArray>
#include <QTimer>
#include <QWidget>
#include <memory>

// Plays a five-frame H.264 clip from the program's resources into a window that is never shown,
// once, right after start-up. libvlc loads its demuxer, decoder and video output the first time
// they are needed; done here, the first channel a viewer opens does not wait for them. Nothing
// is shown, heard or written.
class CWarmup : public QObject
{
    Q_OBJECT

public:
    CWarmup();
    ~CWarmup() override;

    // Starts playing in the background; does nothing where no window can be handed to libvlc.
    void Start(libvlc_instance_t* instance);
    // Stops the clip and lets go of it; the player goes before the bytes it reads and its window.
    void Stop();

private:
    struct Source
    {
        QByteArray bytes;
        qsizetype offset = 0;
    };

    Source m_source; // read by libvlc's thread while the player lives
    std::unique_ptr<QWidget> m_window;
    VlcPlayer m_player;
    QTimer m_deadline;
};
