#pragma once

#include "VideoShape.h"

#include <QImage>
#include <QSize>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

struct SwsContext;

// The pictures of one player, decoded by libvlc into memory the program owns and made ready to
// paint at the size the window shows them.
//
// libvlc 3's memory output (vmem) is told the decoder's buffer size (padded: 640 x 386 for a
// 640 x 360 H.264 stream), but not the visible size nor the shape of the samples, and its
// converter scales the visible area into whatever size the format callback answers. So the
// shape comes from the stream itself (its sequence header, read before libvlc gets the bytes:
// AddShape), matched to the buffer size; libvlc is asked for planar YUV at the visible size (a
// plain copy in its converter; a stream larger than full HD and than the screen is scaled down
// to fit the screen there). Each picture is then converted and scaled in one libswscale pass,
// on libvlc's thread, into an RGB32 image exactly as large as it is shown: the window paints it
// without scaling, and a resize takes effect on the next picture.
//
// A stream whose shape no sequence header told (another codec, a header the parser cannot read)
// gets libvlc's own description of its tracks once libvlc has made it (SetTrackShape); until
// then its pictures are not made at all. A shape whose display aspect no screen could mean
// (outside 0.2 to 5) is shown at its visible size with square samples.
//
// Images are handed to the window only while no other owner shares them: an image the window
// is painting (or holds) is never written to. Nothing else is shared with libvlc but the YUV
// buffers between its Lock and Unlock.
class VideoFrames
{
public:
    // Beyond libvlc's own decoders' limit (8192) a buffer size is garbage.
    static constexpr unsigned kMaxSide = 8192;
    // A stream up to this size is taken at its own size (libvlc then only copies it); a larger
    // one is scaled down by libvlc to fit the larger of this and the screen.
    static constexpr QSize kFullHd{1920, 1080};
    static constexpr double kMinAspect = 0.2;
    static constexpr double kMaxAspect = 5.0;

    VideoFrames();
    ~VideoFrames();
    VideoFrames(const VideoFrames&) = delete;
    VideoFrames& operator=(const VideoFrames&) = delete;

    // Called on libvlc's thread after a new picture is ready, or when a picture came and its
    // shape is not known (NeedsShape), at most once until Acknowledge(). It runs under the
    // object's lock, so once SetNotify({}) has returned it is never called again: keep it short
    // (post an event).
    void SetNotify(std::function<void()> notify);
    // The window has taken note; the next picture notifies again.
    void Acknowledge();
    // Called once, on libvlc's thread and under the object's lock, when libvlc hands over its
    // first picture to be shown: it shows that one as soon as it is decoded, and starts its clock
    // about then.
    void SetFirstShown(std::function<void()> shown);

    // A shape the stream's sequence header told; any thread. The latest few are kept and the
    // one that fits the decoder's buffer is taken when libvlc makes its video output.
    void AddShape(const fastzap::VideoShape& shape);
    // libvlc's description of the video track, for a stream whose shape no header told.
    void SetTrackShape(unsigned width, unsigned height, unsigned sarNum, unsigned sarDen);
    // A picture came whose shape is not known: SetTrackShape is wanted.
    bool NeedsShape() const;

    // Where pictures are shown, in device pixels: each is made to fit it. Any thread.
    void SetArea(QSize area);
    // The screen's size in device pixels, for streams larger than full HD.
    void SetLargest(QSize largest);

    // The newest picture, at the size it is shown for the area it was made for; null before
    // the first.
    struct Picture
    {
        QImage image;
        double aspect = 0; // width over height as shown
        bool isNull() const { return image.isNull(); }
    };
    Picture Latest() const;
    // Width over height as the pictures are shown; 0 while not known.
    double DisplayAspect() const;

    // The shape the pictures are shown in: the stream's visible size and sample aspect as its
    // header or libvlc's tracks told them; empty while not known.
    struct Shape
    {
        QSize visible;
        unsigned sarNum = 0;
        unsigned sarDen = 0;
        double aspect = 0;
    };
    Shape CurrentShape() const;

    // The stream's pictures a second, when known: a picture that comes more than one and a half
    // frame times after the one before is counted late.
    void SetFrameRate(double perSecond);
    struct Timing
    {
        std::uint64_t shown = 0; // pictures libvlc handed over to be shown
        std::uint64_t late = 0;
    };
    Timing PictureTiming() const;

    // The largest rectangle of `aspect` (width over height) inside `area`, centred; the same
    // rounding wherever it is worked out, so that a picture made for an area fills it exactly.
    static QRect FitInto(double aspect, QSize area);
    // Width over height of `shape` as shown, with the fallback to square samples.
    static double ShownAspect(unsigned width, unsigned height, unsigned sarNum, unsigned sarDen);

    // libvlc's video callbacks (libvlc_video_set_format_callbacks / set_callbacks). `opaque` is
    // this object.
    static unsigned Format(void** opaque, char* chroma, unsigned* width, unsigned* height,
                           unsigned* pitches, unsigned* lines);
    static void Cleanup(void* opaque);
    static void* Lock(void* opaque, void** planes);
    static void Unlock(void* opaque, void* picture, void* const* planes);
    static void Display(void* opaque, void* picture);

private:
    struct FreeDeleter
    {
        void operator()(std::uint8_t* bytes) const;
    };
    struct ScalerDeleter
    {
        void operator()(SwsContext* scaler) const;
    };
    struct Buffer
    {
        std::unique_ptr<std::uint8_t, FreeDeleter> bytes;
        bool lent = false; // between Lock and Unlock
    };

    void NotifyLocked();
    QImage TakeOutput(QSize size);

    mutable std::mutex m_mutex;
    std::vector<fastzap::VideoShape> m_shapes; // newest last
    QSize m_area{800, 600};
    QSize m_largest;
    double m_aspect = 0; // of the current video output; 0 while not known
    Shape m_shape;
    double m_frameRate = 0;
    Timing m_timing;
    std::int64_t m_lastShownNs = 0;
    bool m_needsShape = false;
    QSize m_source; // the YUV pictures libvlc writes
    std::array<unsigned, 3> m_pitches{};
    std::array<unsigned, 3> m_lines{};
    std::vector<Buffer> m_buffers;
    std::vector<QImage> m_outputs;
    Picture m_latest;
    std::function<void()> m_notify;
    bool m_notified = false;
    std::function<void()> m_firstShown;

    // Used by libvlc's video thread only, outside the lock.
    std::unique_ptr<SwsContext, ScalerDeleter> m_scaler;
};
