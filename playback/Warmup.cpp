#include "Warmup.h"

#include "VideoFrames.h"

#include <QFile>
#include <cstring>
#include <vlc/vlc.h>

struct CWarmup::Clip
{
    QByteArray bytes;
    qsizetype offset = 0;
    VideoFrames frames;

    static int Open(void* opaque, void** data, uint64_t* size)
    {
        auto* clip = static_cast<Clip*>(opaque);
        clip->offset = 0;
        *data = opaque;
        *size = uint64_t(clip->bytes.size());
        return 0;
    }
    static ssize_t Read(void* opaque, unsigned char* buffer, size_t length)
    {
        auto* clip = static_cast<Clip*>(opaque);
        const size_t n = std::min(length, size_t(clip->bytes.size() - clip->offset));
        std::memcpy(buffer, clip->bytes.constData() + clip->offset, n);
        clip->offset += qsizetype(n);
        return ssize_t(n);
    }
    static int Seek(void* opaque, uint64_t offset)
    {
        auto* clip = static_cast<Clip*>(opaque);
        if (offset > uint64_t(clip->bytes.size()))
            return -1;
        clip->offset = qsizetype(offset);
        return 0;
    }
};

CWarmup::CWarmup()
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, &CWarmup::Stop);
}

CWarmup::~CWarmup()
{
    Stop();
}

void CWarmup::Start(libvlc_instance_t* instance)
{
    if (instance == nullptr || m_player)
        return;
    // The clip lives in this static library's resources: nothing else would pull them in.
    Q_INIT_RESOURCE(Playback);
    QFile file(QStringLiteral(":/media/warmup.ts"));
    if (!file.open(QIODevice::ReadOnly))
        return;
    auto clip = std::make_shared<Clip>();
    clip->bytes = file.readAll();

    const VlcMedia media(libvlc_media_new_callbacks(instance, Clip::Open, Clip::Read, Clip::Seek,
                                                    nullptr, clip.get()));
    m_player = CreateVlcPlayer(media.get());
    if (!m_player)
        return;
    m_clip = std::move(clip);
    libvlc_audio_set_mute(m_player.get(), 1);
    libvlc_video_set_format_callbacks(m_player.get(), VideoFrames::Format, VideoFrames::Cleanup);
    libvlc_video_set_callbacks(m_player.get(), VideoFrames::Lock, VideoFrames::Unlock,
                               VideoFrames::Display, &m_clip->frames);
    libvlc_media_player_play(m_player.get());

    // The clip lasts 0.2 s; whatever is not loaded by then the first channel will load itself.
    m_deadline.start(std::chrono::seconds(2));
}

void CWarmup::Stop()
{
    m_deadline.stop();
    LetGoOf(std::move(m_player), std::move(m_clip));
}
