#include "JpegFiles.h"

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QRandomGenerator>
#include <stdexcept>

namespace {

int segmentLength(const QByteArray& jpeg, qsizetype at)
{
    if (at + 3 >= jpeg.size())
        throw std::runtime_error("JPEG cut short in a segment header");
    return (uchar(jpeg[at + 2]) << 8) | uchar(jpeg[at + 3]);
}

// Where the entropy-coded data that starts at `at` ends: at the first marker that is neither a
// stuffed zero nor a restart marker.
qsizetype endOfScanData(const QByteArray& jpeg, qsizetype at)
{
    for (; at + 1 < jpeg.size(); ++at) {
        if (uchar(jpeg[at]) != 0xFF)
            continue;
        const uchar next = uchar(jpeg[at + 1]);
        if (next != 0x00 && next != 0xFF && (next < 0xD0 || next > 0xD7))
            return at;
    }
    throw std::runtime_error("JPEG scan without an end");
}

} // namespace

QByteArray MakeJpeg(QSize size, bool progressive, QColor left, QColor right, int quality, int noise)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(right);
    QPainter(&image).fillRect(0, 0, size.width() / 2, size.height(), left);
    if (noise > 0) {
        QRandomGenerator random(1234);
        for (int y = 0; y < size.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < size.width(); ++x) {
                const int d = int(random.bounded(2 * noise + 1)) - noise;
                const QRgb p = line[x];
                line[x] = qRgb(qBound(0, qRed(p) + d, 255), qBound(0, qGreen(p) - d, 255),
                               qBound(0, qBlue(p) + d, 255));
            }
        }
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(quality);
    writer.setProgressiveScanWrite(progressive);
    if (!writer.write(image))
        throw std::runtime_error("Qt could not write a JPEG: " +
                                 writer.errorString().toStdString());
    return bytes;
}

QByteArray JpegParts::joined() const
{
    QByteArray out = head;
    for (const QByteArray& scan : scans)
        out += scan;
    return out + tail;
}

JpegParts SplitJpeg(const QByteArray& jpeg)
{
    if (!jpeg.startsWith("\xFF\xD8"))
        throw std::runtime_error("not a JPEG");
    // The head runs up to the first scan; every later scan takes the tables written before it.
    JpegParts parts;
    qsizetype at = 2;
    qsizetype pieceStart = -1;
    for (;;) {
        if (at + 1 >= jpeg.size() || uchar(jpeg[at]) != 0xFF)
            throw std::runtime_error("JPEG segment expected");
        const uchar marker = uchar(jpeg[at + 1]);
        if (marker == 0xD9) {
            parts.tail = jpeg.mid(at);
            return parts;
        }
        const qsizetype next = at + 2 + segmentLength(jpeg, at);
        if (marker != 0xDA) {
            if (!parts.scans.isEmpty() && pieceStart < 0)
                pieceStart = at;
            at = next;
            continue;
        }
        if (parts.scans.isEmpty())
            parts.head = jpeg.left(at);
        if (pieceStart < 0)
            pieceStart = at;
        const qsizetype end = endOfScanData(jpeg, next);
        parts.scans << jpeg.mid(pieceStart, end - pieceStart);
        pieceStart = -1;
        at = end;
    }
}

QByteArray WithScans(const QByteArray& jpeg, int scans, int which)
{
    JpegParts parts = SplitJpeg(jpeg);
    if (parts.scans.size() > scans)
        throw std::runtime_error("the JPEG has more scans than asked for");
    const QByteArray repeated = parts.scans.at(which);
    while (parts.scans.size() < scans)
        parts.scans.insert(which, repeated);
    return parts.joined();
}

QByteArray WithCostlyScans(const QByteArray& jpeg, int scans, qsizetype maxBytes, int which)
{
    JpegParts parts = SplitJpeg(jpeg);
    const QByteArray costly = parts.scans.at(which);
    QByteArray smallest = parts.scans.first();
    for (const QByteArray& scan : parts.scans)
        if (scan.size() < smallest.size())
            smallest = scan;
    qsizetype size = parts.joined().size();
    while (parts.scans.size() < scans &&
           size + costly.size() + (scans - parts.scans.size() - 1) * smallest.size() <= maxBytes) {
        parts.scans.insert(which, costly);
        size += costly.size();
    }
    while (parts.scans.size() < scans)
        parts.scans.insert(which, smallest);
    return parts.joined();
}

QByteArray WithClaimedSize(QByteArray jpeg, QSize size)
{
    // Baseline (C0) or progressive (C2) frame header: length, precision, height, width.
    qsizetype sof = jpeg.indexOf("\xFF\xC0");
    if (sof < 0)
        sof = jpeg.indexOf("\xFF\xC2");
    if (sof < 0)
        throw std::runtime_error("no frame header");
    jpeg[sof + 5] = char(size.height() >> 8);
    jpeg[sof + 6] = char(size.height() & 0xFF);
    jpeg[sof + 7] = char(size.width() >> 8);
    jpeg[sof + 8] = char(size.width() & 0xFF);
    return jpeg;
}

QByteArray PaddedTo(QByteArray jpeg, qsizetype bytes)
{
    if (jpeg.size() > bytes)
        throw std::runtime_error("the JPEG is already larger");
    jpeg.append(bytes - jpeg.size(), '\0');
    return jpeg;
}
