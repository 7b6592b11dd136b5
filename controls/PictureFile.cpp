#include "PictureFile.h"

#include "JpegScans.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
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

bool isJpeg(const QByteArray& format)
{
    return format == "jpeg" || format == "jpg";
}

// The formats the channel pictures have always come in: JPEG, and the GIF and BMP pictures the
// Windows picture loader took as well. The others Qt reads are left out on purpose: PNG hands
// libpng text chunks it inflates whole into memory (an 8 MiB file can claim gigabytes) and
// chunk lengths it allocates before reading (a file of 276 bytes asked for 540 MB); ICO may
// hold PNGs; XPM, XBM and the PPM family are text parsers no site has any use for.
bool isAcceptedFormat(const QByteArray& format)
{
    return isJpeg(format) || format == "gif" || format == "bmp";
}

// The checks on a picture's header: an accepted format, and a size within bounds.
PictureProblem CheckHeader(QImageReader& reader, QSize* size)
{
    const QByteArray format = reader.format();
    *size = reader.size();
    if (!isAcceptedFormat(format) || !size->isValid() || size->isEmpty())
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
        return {{}, {}, PictureProblem::Unreadable};
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
        return {{}, {}, problem};
    return ReadPicture(file.get());
}

EncodedPicture ReadPictureHeader(QIODevice* device)
{
    EncodedPicture picture;
    QImageReader reader(device);
    picture.problem = CheckHeader(reader, &picture.size);
    return picture;
}

EncodedPicture ReadPictureFileHeader(const QString& path)
{
    PictureProblem problem = PictureProblem::None;
    const std::unique_ptr<QFile> file = OpenPictureFile(path, &problem);
    if (!file)
        return {{}, {}, problem};
    return ReadPictureHeader(file.get());
}

EncodedPicture CheckPicture(QByteArray bytes)
{
    EncodedPicture picture{std::move(bytes), {}, PictureProblem::None};
    if (picture.bytes.size() > kPictureMaxBytes) {
        picture.problem = PictureProblem::TooManyBytes;
    } else {
        QBuffer buffer(&picture.bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer);
        picture.problem = CheckHeader(reader, &picture.size);
        if (picture.ok() && isJpeg(reader.format()) &&
            CountJpegScans(picture.bytes) > kPictureMaxJpegScans)
            picture.problem = PictureProblem::TooManyScans;
    }
    if (!picture.ok())
        picture.bytes.clear();
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
    QImageReader reader(&buffer);
    if (!isAcceptedFormat(reader.format()))
        return {};
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
