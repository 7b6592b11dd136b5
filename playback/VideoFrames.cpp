#include "VideoFrames.h"

#include <cstring>

namespace {

constexpr unsigned alignUp(unsigned value, unsigned to)
{
    return (value + to - 1) / to * to;
}

// libvlc's pool holds this many pictures at most; we make more buffers when the window is
// still painting some of them.
constexpr unsigned kPoolPictures = 3;

} // namespace

void VideoFrames::SetNotify(std::function<void()> notify)
{
    const std::lock_guard lock(m_mutex);
    m_notify = std::move(notify);
    m_notified = false;
}

void VideoFrames::Acknowledge()
{
    const std::lock_guard lock(m_mutex);
    m_notified = false;
}

VideoFrames::Picture VideoFrames::Latest() const
{
    const std::lock_guard lock(m_mutex);
    return m_latest;
}

unsigned VideoFrames::Format(void** opaque, char* chroma, unsigned* width, unsigned* height,
                             unsigned* pitches, unsigned* lines)
{
    auto* self = static_cast<VideoFrames*>(*opaque);
    if (*width == 0 || *height == 0 || *width > kMaxSide || *height > kMaxSide ||
        quint64(*width) * *height > kMaxPixels)
        return 0;
    // Four bytes a pixel, blue green red and a padding byte: QImage's RGB32 on every
    // little-endian machine, and a format libvlc's converters write directly.
    std::memcpy(chroma, "RV32", 4);
    // Decoders write whole macroblocks and SIMD-sized rows: pad both ways.
    const unsigned bufferWidth = alignUp(*width, 32);
    const unsigned bufferHeight = alignUp(*height, 32);
    pitches[0] = bufferWidth * 4;
    lines[0] = bufferHeight;

    const std::lock_guard lock(self->m_mutex);
    self->m_size = QSize(int(*width), int(*height));
    self->m_bufferSize = QSize(int(bufferWidth), int(bufferHeight));
    // Buffers of an earlier format stay alive as long as the window still paints them.
    self->m_buffers.clear();
    return kPoolPictures;
}

void VideoFrames::Cleanup(void* opaque)
{
    auto* self = static_cast<VideoFrames*>(opaque);
    const std::lock_guard lock(self->m_mutex);
    self->m_buffers.clear();
}

void* VideoFrames::Lock(void* opaque, void** planes)
{
    auto* self = static_cast<VideoFrames*>(opaque);
    const std::lock_guard lock(self->m_mutex);
    std::size_t index = 0;
    // A buffer the newest picture or a painting window shares is not detached.
    while (index < self->m_buffers.size() &&
           (self->m_buffers[index].lent || !self->m_buffers[index].image.isDetached()))
        ++index;
    if (index == self->m_buffers.size())
        self->m_buffers.push_back({QImage(self->m_bufferSize, QImage::Format_RGB32), false});
    Buffer& buffer = self->m_buffers[index];
    buffer.lent = true;
    planes[0] = buffer.image.bits();
    return reinterpret_cast<void*>(index + 1);
}

void VideoFrames::Unlock(void* opaque, void* picture, void* const*)
{
    auto* self = static_cast<VideoFrames*>(opaque);
    const std::lock_guard lock(self->m_mutex);
    const auto index = reinterpret_cast<std::size_t>(picture) - 1;
    if (index < self->m_buffers.size())
        self->m_buffers[index].lent = false;
}

void VideoFrames::Display(void* opaque, void* picture)
{
    auto* self = static_cast<VideoFrames*>(opaque);
    const std::lock_guard lock(self->m_mutex);
    const auto index = reinterpret_cast<std::size_t>(picture) - 1;
    if (index >= self->m_buffers.size())
        return;
    self->m_latest = {self->m_buffers[index].image, self->m_size};
    if (!self->m_notified && self->m_notify) {
        self->m_notified = true;
        self->m_notify();
    }
}
