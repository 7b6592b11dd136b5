#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>
#include <atomic>
#include <memory>

class QFile;
class QIODevice;

// What a picture may cost. Pictures come from a folder anyone on the machine may have written
// to; whatever lies there, the channel window must come up, quickly and in bounded memory.
inline constexpr qint64 kPictureMaxBytes = qint64(8) * 1024 * 1024;
inline constexpr int kPictureMaxSide = 4096;
// libjpeg-turbo's own tools stop at 100 scans for the same reason (djpeg -maxscans).
inline constexpr int kPictureMaxJpegScans = 100;
// A picture is drawn stretched to its own pixel size, in a window of 800 x 600; a larger one is
// never seen whole, so it is decoded at a half or a quarter, which libjpeg does while decoding.
inline constexpr int kPictureMaxDecodedSide = 1024;

// Why a picture did not load.
enum class PictureProblem
{
    None,
    NotAPlainFile, // missing, a folder, a FIFO, a device, a socket
    Unreadable,    // could not be opened or read
    TooManyBytes,  // over kPictureMaxBytes
    NotAPicture,   // not a JPEG, GIF or BMP, or its header gives no size
    TooManyPixels, // its header claims more than kPictureMaxSide on a side
    TooManyScans,  // a JPEG with more than kPictureMaxJpegScans scans
    Undecodable,   // passed every check above, then failed to decode
};

// A picture's bytes, read and checked but not decoded: the checks read the header only.
struct EncodedPicture
{
    QByteArray bytes;
    QSize size;        // as its header gives it
    QByteArray format; // "jpeg", "gif" or "bmp", read off its first bytes
    PictureProblem problem = PictureProblem::None;

    bool ok() const { return problem == PictureProblem::None; }
};

// Opens `path` for reading only if it is a regular file of at most kPictureMaxBytes. The open
// never blocks: a FIFO without a writer or a device is refused, not waited on.
// On failure returns null and sets `problem`.
std::unique_ptr<QFile> OpenPictureFile(const QString& path, PictureProblem* problem);

// Reads at most kPictureMaxBytes + 1 bytes from `device`, from where it stands, and checks them.
EncodedPicture ReadPicture(QIODevice* device);

// OpenPictureFile, then ReadPicture.
EncodedPicture ReadPictureFile(const QString& path);

// Only the checks a picture's header allows: format and size. Reads as little of `device` as
// the decoder needs to find the size (a few KB for a usual JPEG) and keeps none of it.
EncodedPicture ReadPictureHeader(QIODevice* device);

// OpenPictureFile, then ReadPictureHeader.
EncodedPicture ReadPictureFileHeader(const QString& path);

// The checks on bytes already read: size in bytes, format, header size, JPEG scans.
EncodedPicture CheckPicture(QByteArray bytes);

// The size a picture of `header` size is decoded at: its own, or a half or a quarter of it so
// that neither side passes kPictureMaxDecodedSide.
QSize DecodedSize(QSize header);

// Decodes a checked picture at DecodedSize(). Null when the decoder fails, when what it makes is
// not that size, or when `cancelled` becomes true (the decoder then stops reading at once).
// Safe on any thread.
QImage DecodePicture(const EncodedPicture& picture,
                     const std::shared_ptr<const std::atomic<bool>>& cancelled = {});
