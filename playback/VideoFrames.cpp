#include "VideoFrames.h"

#include <QRect>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace {

constexpr unsigned alignUp(unsigned value, unsigned to)
{
    return (value + to - 1) / to * to;
}

// libvlc asks for 3 pictures when its converter writes them (always: vmem's visible size is
// the whole buffer, the decoder's is not).
constexpr unsigned kPoolPictures = 3;
// Shapes remembered for matching: a stream changes resolution seldom, HLS variants a few.
constexpr std::size_t kShapesKept = 8;
// How far the decoder's buffer may exceed the coded size (libavcodec aligns to 16 or 32 and
// adds 2 lines for H.264).
constexpr unsigned kPaddingAllowance = 64;
// Converters write whole SIMD registers; rows are aligned and a tail is kept after the last.
constexpr unsigned kRowAlign = 64;
constexpr std::size_t kTail = 256;

unsigned even(double value)
{
    return std::max(2U, unsigned(value) & ~1U);
}

} // namespace

void VideoFrames::FreeDeleter::operator()(std::uint8_t* bytes) const
{
    std::free(bytes);
}

void VideoFrames::ScalerDeleter::operator()(SwsContext* scaler) const
{
    sws_freeContext(scaler);
}

VideoFrames::VideoFrames() = default;

VideoFrames::~VideoFrames() = default;

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

void VideoFrames::SetFirstShown(std::function<void()> shown)
{
    const std::lock_guard lock(m_mutex);
    m_firstShown = std::move(shown);
}

void VideoFrames::NotifyLocked()
{
    if (!m_notified && m_notify) {
        m_notified = true;
        m_notify();
    }
}

void VideoFrames::AddShape(const fastzap::VideoShape& shape)
{
    const std::lock_guard lock(m_mutex);
    std::erase(m_shapes, shape);
    m_shapes.push_back(shape);
    if (m_shapes.size() > kShapesKept)
        m_shapes.erase(m_shapes.begin());
}

void VideoFrames::SetTrackShape(unsigned width, unsigned height, unsigned sarNum, unsigned sarDen)
{
    const double aspect = ShownAspect(width, height, sarNum, sarDen);
    const std::lock_guard lock(m_mutex);
    if (m_aspect > 0 || aspect <= 0)
        return;
    m_aspect = aspect;
    m_shape = {QSize(int(width), int(height)), sarNum, sarDen, aspect};
    m_needsShape = false;
}

bool VideoFrames::NeedsShape() const
{
    const std::lock_guard lock(m_mutex);
    return m_needsShape;
}

void VideoFrames::SetArea(QSize area)
{
    const std::lock_guard lock(m_mutex);
    if (!area.isEmpty())
        m_area = area;
}

void VideoFrames::SetLargest(QSize largest)
{
    const std::lock_guard lock(m_mutex);
    m_largest = largest;
}

VideoFrames::Picture VideoFrames::Latest() const
{
    const std::lock_guard lock(m_mutex);
    return m_latest;
}

double VideoFrames::DisplayAspect() const
{
    const std::lock_guard lock(m_mutex);
    return m_aspect;
}

VideoFrames::Shape VideoFrames::CurrentShape() const
{
    const std::lock_guard lock(m_mutex);
    return m_aspect > 0 ? m_shape : Shape{};
}

void VideoFrames::SetFrameRate(double perSecond)
{
    const std::lock_guard lock(m_mutex);
    m_frameRate = perSecond;
}

VideoFrames::Timing VideoFrames::PictureTiming() const
{
    const std::lock_guard lock(m_mutex);
    return m_timing;
}

QRect VideoFrames::FitInto(double aspect, QSize area)
{
    if (aspect <= 0 || area.isEmpty())
        return {};
    int width = area.width();
    int height = int(std::lround(width / aspect));
    if (height > area.height()) {
        height = area.height();
        width = int(std::lround(height * aspect));
    }
    width = std::clamp(width, 1, area.width());
    height = std::clamp(height, 1, area.height());
    return {(area.width() - width) / 2, (area.height() - height) / 2, width, height};
}

double VideoFrames::ShownAspect(unsigned width, unsigned height, unsigned sarNum, unsigned sarDen)
{
    if (width == 0 || height == 0)
        return 0;
    const double square = double(width) / height;
    if (sarNum == 0 || sarDen == 0)
        return square;
    const double shown = square * sarNum / sarDen;
    // A sample aspect that makes a line or a sliver of the picture is a broken header.
    return shown >= kMinAspect && shown <= kMaxAspect ? shown : square;
}

unsigned VideoFrames::Format(void** opaque, char* chroma, unsigned* width, unsigned* height,
                             unsigned* pitches, unsigned* lines)
{
    auto* self = static_cast<VideoFrames*>(*opaque);
    const unsigned bufferWidth = *width;
    const unsigned bufferHeight = *height;
    if (bufferWidth == 0 || bufferHeight == 0 || bufferWidth > kMaxSide || bufferHeight > kMaxSide)
        return 0;

    const std::lock_guard lock(self->m_mutex);
    // The newest shape whose coded size the decoder's buffer holds with no more than its padding.
    const auto fits = [&](const fastzap::VideoShape& shape) {
        return shape.codedWidth <= bufferWidth && shape.codedHeight <= bufferHeight &&
               bufferWidth - shape.codedWidth <= kPaddingAllowance &&
               bufferHeight - shape.codedHeight <= kPaddingAllowance;
    };
    const auto found = std::find_if(self->m_shapes.rbegin(), self->m_shapes.rend(), fits);
    double visibleWidth = bufferWidth;
    double visibleHeight = bufferHeight;
    self->m_aspect = 0;
    self->m_shape = {};
    self->m_needsShape = false;
    if (found != self->m_shapes.rend()) {
        visibleWidth = found->width;
        visibleHeight = found->height;
        self->m_aspect = ShownAspect(found->width, found->height, found->sarNum, found->sarDen);
        self->m_shape = {QSize(int(found->width), int(found->height)), found->sarNum, found->sarDen,
                         self->m_aspect};
    }
    // Otherwise libvlc stretches the visible area over the whole buffer, and libvlc's tracks tell
    // the shape to show it in.

    const double boundWidth = std::max(kFullHd.width(), self->m_largest.width());
    const double boundHeight = std::max(kFullHd.height(), self->m_largest.height());
    const double scale = std::min({1.0, boundWidth / visibleWidth, boundHeight / visibleHeight});
    const unsigned sourceWidth = even(std::round(visibleWidth * scale));
    const unsigned sourceHeight = even(std::round(visibleHeight * scale));

    // A fourcc: libvlc's buffer is five bytes, its fifth already the terminator.
    std::memcpy(chroma, "I420", 4); // NOLINT(bugprone-not-null-terminated-result)
    *width = sourceWidth;
    *height = sourceHeight;
    pitches[0] = alignUp(sourceWidth, kRowAlign);
    pitches[1] = pitches[2] = alignUp(sourceWidth / 2, kRowAlign);
    lines[0] = sourceHeight;
    lines[1] = lines[2] = sourceHeight / 2;
    self->m_source = QSize(int(sourceWidth), int(sourceHeight));
    for (int plane = 0; plane < 3; ++plane) {
        self->m_pitches[plane] = pitches[plane];
        self->m_lines[plane] = lines[plane];
    }
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
    while (index < self->m_buffers.size() && self->m_buffers[index].lent)
        ++index;
    if (index == self->m_buffers.size()) {
        std::size_t size = kTail;
        for (int plane = 0; plane < 3; ++plane)
            size += std::size_t(self->m_pitches[plane]) * self->m_lines[plane];
        auto* bytes = static_cast<std::uint8_t*>(
            std::aligned_alloc(kRowAlign, alignUp(unsigned(size), kRowAlign)));
        if (bytes == nullptr)
            std::abort(); // as operator new would: nowhere to decode to
        self->m_buffers.push_back({std::unique_ptr<std::uint8_t, FreeDeleter>(bytes), false});
    }
    Buffer& buffer = self->m_buffers[index];
    buffer.lent = true;
    std::uint8_t* plane = buffer.bytes.get();
    for (int i = 0; i < 3; ++i) {
        planes[i] = plane;
        plane += std::size_t(self->m_pitches[i]) * self->m_lines[i];
    }
    // libvlc hands this back to Unlock and Display as it is: the buffer's number, never null.
    return reinterpret_cast<void*>(index + 1); // NOLINT(performance-no-int-to-ptr)
}

void VideoFrames::Unlock(void* opaque, void* picture, void* const*)
{
    auto* self = static_cast<VideoFrames*>(opaque);
    const std::lock_guard lock(self->m_mutex);
    const auto index = reinterpret_cast<std::size_t>(picture) - 1;
    if (index < self->m_buffers.size())
        self->m_buffers[index].lent = false;
}

// An image of `size` that nobody else holds, taken out of the list so that writing it does not
// copy it; under the lock. It goes back to the list when it becomes the newest picture, and is
// taken again only once the window has let go of it.
QImage VideoFrames::TakeOutput(QSize size)
{
    std::erase_if(m_outputs,
                  [&](const QImage& image) { return image.size() != size && image.isDetached(); });
    const auto free = std::find_if(m_outputs.begin(), m_outputs.end(), [&](const QImage& image) {
        return image.isDetached() && image.size() == size;
    });
    if (free == m_outputs.end())
        return QImage(size, QImage::Format_RGB32);
    QImage image = std::move(*free);
    m_outputs.erase(free);
    return image;
}

void VideoFrames::Display(void* opaque, void* picture)
{
    auto* self = static_cast<VideoFrames*>(opaque);
    const std::int64_t nowNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count();
    std::unique_lock lock(self->m_mutex);
    const auto index = reinterpret_cast<std::size_t>(picture) - 1;
    if (index >= self->m_buffers.size())
        return;
    if (self->m_firstShown)
        std::exchange(self->m_firstShown, {})();
    // libvlc's video output hands each picture over when it is due.
    if (self->m_timing.shown > 0 && self->m_frameRate > 0 &&
        double(nowNs - self->m_lastShownNs) > 1.5e9 / self->m_frameRate)
        ++self->m_timing.late;
    ++self->m_timing.shown;
    self->m_lastShownNs = nowNs;
    if (self->m_aspect <= 0) {
        self->m_needsShape = true;
        self->NotifyLocked();
        return;
    }
    const double aspect = self->m_aspect;
    const QSize size = FitInto(aspect, self->m_area).size();
    QImage image = self->TakeOutput(size);
    if (image.isNull())
        return;
    // The YUV buffer stays lent to libvlc until Unlock, and nobody else writes the image.
    const std::uint8_t* source = self->m_buffers[index].bytes.get();
    const QSize from = self->m_source;
    std::array<const std::uint8_t*, 3> planes{};
    std::array<int, 3> strides{};
    for (int i = 0; i < 3; ++i) {
        planes[i] = source;
        strides[i] = int(self->m_pitches[i]);
        source += std::size_t(self->m_pitches[i]) * self->m_lines[i];
    }
    lock.unlock();

    // One pass: YUV to RGB and to the shown size. Averaging over each output pixel's area is
    // the right filter for a real shrink (1080p into a window), and costs less than libvlc's
    // bicubic default. Growing, or shrinking by a little (a stream whose shape libvlc stretched
    // over its padding), bilinear is as good and cheaper still; at the same size neither filters.
    const bool shrink =
        size.width() * 4 < from.width() * 3 || size.height() * 4 < from.height() * 3;
    // The cached context is freed by libswscale itself when it makes a new one.
    self->m_scaler.reset(
        sws_getCachedContext(self->m_scaler.release(), from.width(), from.height(),
                             AV_PIX_FMT_YUV420P, size.width(), size.height(), AV_PIX_FMT_RGB32,
                             shrink ? SWS_AREA : SWS_FAST_BILINEAR, nullptr, nullptr, nullptr));
    if (!self->m_scaler)
        return;
    std::uint8_t* const target[] = {image.bits()};
    const int targetStride[] = {int(image.bytesPerLine())};
    sws_scale(self->m_scaler.get(), planes.data(), strides.data(), 0, from.height(), target,
              targetStride);

    lock.lock();
    self->m_outputs.push_back(image);
    self->m_latest = {std::move(image), aspect};
    self->NotifyLocked();
}
