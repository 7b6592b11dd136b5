#pragma once

#include <QImage>
#include <QSize>
#include <functional>
#include <mutex>
#include <vector>

// The pictures of one player, decoded by libvlc into memory the program owns.
//
// libvlc renders through the callbacks below on its own threads; the window takes the newest
// picture on its own thread and paints it. Drawing ourselves, rather than handing libvlc a
// window, keeps the newest picture whatever happens to the window, lets the program draw its
// texts over the picture, and means a player whose teardown is stuck on the network never
// draws into a window that has gone.
//
// Buffers are QImages handed to libvlc only while nobody else shares them, so a picture the
// window is painting is never written to; nothing is copied.
class VideoFrames
{
public:
    // libvlc's own limit for a picture is far larger; a stream that claims more than this is
    // refused rather than given a gigabyte of buffers.
    static constexpr unsigned kMaxSide = 8192;
    static constexpr quint64 kMaxPixels = 4096ULL * 4096ULL;

    VideoFrames() = default;
    VideoFrames(const VideoFrames&) = delete;
    VideoFrames& operator=(const VideoFrames&) = delete;

    // Called on libvlc's thread after a new picture is ready, at most once until Acknowledge().
    // It runs under the object's lock, so once SetNotify({}) has returned it is never called
    // again: keep it short (post an event).
    void SetNotify(std::function<void()> notify);
    // The window has taken note; the next picture notifies again.
    void Acknowledge();

    // The newest picture: a buffer shared with libvlc's pool, of which the top-left `size` is
    // the picture (rows are padded). Null before the first.
    struct Picture
    {
        QImage buffer;
        QSize size;
        bool isNull() const { return buffer.isNull(); }
    };
    Picture Latest() const;

    // libvlc's video callbacks (libvlc_video_set_format_callbacks / set_callbacks). `opaque` is
    // this object.
    static unsigned Format(void** opaque, char* chroma, unsigned* width, unsigned* height,
                           unsigned* pitches, unsigned* lines);
    static void Cleanup(void* opaque);
    static void* Lock(void* opaque, void** planes);
    static void Unlock(void* opaque, void* picture, void* const* planes);
    static void Display(void* opaque, void* picture);

private:
    struct Buffer
    {
        QImage image;
        bool lent = false; // between Lock and Unlock
    };

    mutable std::mutex m_mutex;
    QSize m_size;       // the visible picture
    QSize m_bufferSize; // padded as libvlc's decoders like it
    std::vector<Buffer> m_buffers;
    Picture m_latest;
    std::function<void()> m_notify;
    bool m_notified = false;
};
