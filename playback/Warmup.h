#pragma once

#include "MediaLibrary.h"

#include <QByteArray>
#include <QTimer>
#include <memory>

// Plays a five-frame H.264 clip from the program's resources into memory, once, right after
// start-up. libvlc loads its demuxer, decoder and video output the first time they are needed;
// done here, the first channel a viewer opens does not wait for them. Nothing is shown, heard
// or written.
class CWarmup : public QObject
{
    Q_OBJECT

public:
    CWarmup();
    ~CWarmup() override;

    // Starts playing in the background.
    void Start(libvlc_instance_t* instance);
    // Lets go of the clip's player; the bytes it reads and the pictures go after it.
    void Stop();

private:
    struct Clip;

    VlcPlayer m_player;
    std::shared_ptr<Clip> m_clip; // read by libvlc's threads while the player lives
    QTimer m_deadline;
};
