#include "Warmup.h"

#include <QFile>
#include <QGuiApplication>
#include <cstring>
#include <vlc/vlc.h>

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
    if (instance == nullptr || m_player || QGuiApplication::platformName() != QLatin1String("xcb"))
        return;
    QFile clip(QStringLiteral(":/media/warmup.ts"));
    if (!clip.open(QIODevice::ReadOnly))
        return;
    m_source.bytes = clip.readAll();
    m_source.offset = 0;

    const auto read = [](void* opaque, unsigned char* buffer, size_t length) -> ssize_t {
        auto* source = static_cast<Source*>(opaque);
        const size_t left = size_t(source->bytes.size() - source->offset);
        const size_t n = std::min(length, left);
        std::memcpy(buffer, source->bytes.constData() + source->offset, n);
        source->offset += qsizetype(n);
        return ssize_t(n);
    };
    const auto seek = [](void* opaque, uint64_t offset) -> int {
        auto* source = static_cast<Source*>(opaque);
        if (offset > uint64_t(source->bytes.size()))
            return -1;
        source->offset = qsizetype(offset);
        return 0;
    };
    const auto open = [](void* opaque, void** data, uint64_t* size) -> int {
        auto* source = static_cast<Source*>(opaque);
        source->offset = 0;
        *data = opaque;
        *size = uint64_t(source->bytes.size());
        return 0;
    };
    const VlcMedia media(
        libvlc_media_new_callbacks(instance, open, read, seek, nullptr, &m_source));
    if (!media)
        return;
    m_player = VlcPlayer(libvlc_media_player_new_from_media(media.get()));
    if (!m_player)
        return;

    m_window = std::make_unique<QWidget>();
    m_window->setAttribute(Qt::WA_NativeWindow);
    m_window->resize(64, 36);
    BindToWindow(m_player.get(), m_window.get());
    libvlc_media_player_play(m_player.get());

    // The clip lasts 0.2 s; whatever is not loaded by then the first channel will load itself.
    m_deadline.start(std::chrono::seconds(2));
}

void CWarmup::Stop()
{
    m_deadline.stop();
    m_player.reset();
    m_window.reset();
}
