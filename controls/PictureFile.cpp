#include "PictureFile.h"

#include "JpegScans.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The decoder's input, which runs dry as soon as the decode is no longer wanted. libjpeg treats
// a source that runs dry as the end of the picture and finishes quickly with what it has.
class CancellableBuffer : public QBuffer
{
public:
    CancellableBuffer(const QByteArray& bytes, std::shared_ptr<const std::atomic<bool>> cancelled)
        : m_cancelled(std::move(cancelled))
    {
        setData(bytes);
    }

    bool cancelled() const { return m_cancelled && m_cancelled->load(std::memory_order_relaxed); }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        if (cancelled())
            return -1;
        return QBuffer::readData(data, maxSize);
    }

private:
    std::shared_ptr<const std::atomic<bool>> m_cancelled;
};

// The formats the channel pictures have always come in: JPEG, and the GIF and BMP pictures the
// Windows picture loader took as well. The format is read off the file's first bytes and the
// reader is given that one format with detection off, so no other decoder ever sees the bytes:
// PNG hands libpng chunk lengths it allocates before reading (a file of 276 bytes asked for
// 540 MB) and text chunks it inflates whole; ICO may hold PNGs; XPM, XBM and the PPM family are
// text parsers no site has any use for. Whatever Qt's plugins can read, none of it is reached.
QByteArray sniffFormat(QByteArrayView head)
{
    if (head.startsWith("\xFF\xD8\xFF"))
        return QByteArrayLiteral("jpeg");
    if (head.startsWith("GIF87a") || head.startsWith("GIF89a"))
        return QByteArrayLiteral("gif");
    if (head.startsWith("BM"))
        return QByteArrayLiteral("bmp");
    return {};
}

constexpr qint64 kSniffBytes = 6;

// A reader bound to `format`, and to the pixels of a picture at the bounds: Qt's decoders
// refuse to allocate more than that whatever a header claims.
void readOnly(QImageReader& reader, const QByteArray& format)
{
    static std::once_flag limited;
    std::call_once(limited, [] {
        constexpr qint64 kBoundPixelBytes = qint64(kPictureMaxSide) * kPictureMaxSide * 4;
        QImageReader::setAllocationLimit(int(kBoundPixelBytes >> 20));
    });
    reader.setFormat(format);
    reader.setAutoDetectImageFormat(false);
    reader.setDecideFormatFromContent(false);
}

// The checks on a picture's header: an accepted format, and a size within bounds.
PictureProblem CheckHeader(QIODevice* device, QSize* size, QByteArray* format)
{
    *format = sniffFormat(device->peek(kSniffBytes));
    if (format->isEmpty())
        return PictureProblem::NotAPicture;
    QImageReader reader(device);
    readOnly(reader, *format);
    *size = reader.size();
    if (!size->isValid() || size->isEmpty())
        return PictureProblem::NotAPicture;
    if (size->width() > kPictureMaxSide || size->height() > kPictureMaxSide)
        return PictureProblem::TooManyPixels;
    return PictureProblem::None;
}

} // namespace

std::unique_ptr<QFile> OpenPictureFile(const QString& path, PictureProblem* problem)
{
    *problem = PictureProblem::None;
    const QByteArray name = QFile::encodeName(path);
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer for ever.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *problem = errno == ENOENT || errno == ENOTDIR || errno == ENXIO
                       ? PictureProblem::NotAPlainFile
                       : PictureProblem::Unreadable;
        return nullptr;
    }
    auto file = std::make_unique<QFile>();
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *problem = PictureProblem::Unreadable;
        return nullptr;
    }
    struct stat status = {};
    if (::fstat(fd, &status) != 0) {
        *problem = PictureProblem::Unreadable;
        return nullptr;
    }
    if (!S_ISREG(status.st_mode)) {
        *problem = PictureProblem::NotAPlainFile;
        return nullptr;
    }
    if (status.st_size > kPictureMaxBytes) {
        *problem = PictureProblem::TooManyBytes;
        return nullptr;
    }
    return file;
}

EncodedPicture ReadPicture(QIODevice* device)
{
    if (device == nullptr || !device->isReadable())
        return {{}, {}, {}, PictureProblem::Unreadable};
    // One byte past the bound tells a picture at the bound from one over it. The buffer starts
    // at the size the device announces and grows by doubling, so a file is read in one piece.
    const qint64 limit = kPictureMaxBytes + 1;
    qint64 capacity = qint64(64) * 1024;
    if (!device->isSequential())
        capacity = std::max<qint64>(capacity, device->size() - device->pos() + 1);
    QByteArray bytes;
    qint64 filled = 0;
    for (;;) {
        bytes.resize(std::min(capacity, limit));
        const qint64 n = device->read(bytes.data() + filled, bytes.size() - filled);
        if (n <= 0)
            break;
        filled += n;
        if (filled >= limit)
            break;
        if (filled == bytes.size())
            capacity = 2 * bytes.size();
    }
    bytes.resize(filled);
    return CheckPicture(std::move(bytes));
}

EncodedPicture ReadPictureFile(const QString& path)
{
    PictureProblem problem = PictureProblem::None;
    const std::unique_ptr<QFile> file = OpenPictureFile(path, &problem);
    if (!file)
        return {{}, {}, {}, problem};
    return ReadPicture(file.get());
}

EncodedPicture ReadPictureHeader(QIODevice* device)
{
    EncodedPicture picture;
    if (device == nullptr || !device->isReadable())
        picture.problem = PictureProblem::Unreadable;
    else
        picture.problem = CheckHeader(device, &picture.size, &picture.format);
    return picture;
}

EncodedPicture ReadPictureFileHeader(const QString& path)
{
    PictureProblem problem = PictureProblem::None;
    const std::unique_ptr<QFile> file = OpenPictureFile(path, &problem);
    if (!file)
        return {{}, {}, {}, problem};
    return ReadPictureHeader(file.get());
}

EncodedPicture CheckPicture(QByteArray bytes)
{
    EncodedPicture picture{std::move(bytes), {}, {}, PictureProblem::None};
    if (picture.bytes.size() > kPictureMaxBytes) {
        picture.problem = PictureProblem::TooManyBytes;
    } else {
        QBuffer buffer(&picture.bytes);
        buffer.open(QIODevice::ReadOnly);
        picture.problem = CheckHeader(&buffer, &picture.size, &picture.format);
        if (picture.ok() && picture.format == "jpeg" &&
            CountJpegScans(picture.bytes) > kPictureMaxJpegScans)
            picture.problem = PictureProblem::TooManyScans;
    }
    if (!picture.ok()) {
        picture.bytes.clear();
        picture.format.clear();
    }
    return picture;
}

QSize DecodedSize(QSize header)
{
    for (const int divisor : {1, 2, 4, 8}) {
        const QSize size((header.width() + divisor - 1) / divisor,
                         (header.height() + divisor - 1) / divisor);
        if (size.width() <= kPictureMaxDecodedSide && size.height() <= kPictureMaxDecodedSide)
            return size;
    }
    return {(header.width() + 7) / 8, (header.height() + 7) / 8};
}

QImage DecodePicture(const EncodedPicture& picture,
                     const std::shared_ptr<const std::atomic<bool>>& cancelled)
{
    if (!picture.ok())
        return {};
    CancellableBuffer buffer(picture.bytes, cancelled);
    if (buffer.cancelled() || !buffer.open(QIODevice::ReadOnly))
        return {};
    // The format the checks found, never one the reader would guess.
    QImageReader reader(&buffer);
    readOnly(reader, picture.format);
    const QSize decoded = DecodedSize(picture.size);
    if (decoded != picture.size)
        reader.setScaledSize(decoded);
    QImage image = reader.read();
    // A decode must be the size its header promised: a GIF's first frame, which gives the
    // header size, may be far smaller than the logical screen the decoder then paints.
    if (buffer.cancelled() || image.size() != decoded)
        return {};
    return image;
}
