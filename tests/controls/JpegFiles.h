#pragma once

#include <QByteArray>
#include <QColor>
#include <QList>
#include <QSize>

// Real JPEG files for the picture tests and the picture benchmark, made with Qt's writer (that
// is, libjpeg) and then taken apart and put together again at the segment level.

// A JPEG of `size`, left half `left` and right half `right`; with `progressive`, libjpeg's
// standard progression (ten scans for a colour picture). `noise` adds random speckle (a fixed
// seed) so that the entropy-coded data is large, as a photograph's is.
QByteArray MakeJpeg(QSize size, bool progressive, QColor left = Qt::red, QColor right = Qt::blue,
                    int quality = 90, int noise = 0);

// A JPEG taken apart: everything before the first scan, each scan with the table segments that
// precede it, and everything from the end-of-image marker on.
struct JpegParts
{
    QByteArray head;
    QList<QByteArray> scans;
    QByteArray tail;

    QByteArray joined() const;
};
JpegParts SplitJpeg(const QByteArray& jpeg);

// `jpeg` with scan `which` repeated until it has `scans` scans. Repeating the first scan of a
// progressive JPEG (the DC coefficients, read afresh each time) leaves the picture as it was.
QByteArray WithScans(const QByteArray& jpeg, int scans, int which = 0);

// `jpeg` with scan `which` repeated while the file stays within `maxBytes` with room for the
// rest, then the smallest scan repeated up to `scans`: as much decoding work as the bounds allow.
QByteArray WithCostlyScans(const QByteArray& jpeg, int scans, qsizetype maxBytes, int which);

// `jpeg` whose frame header claims `size`; the data behind it stays as it was.
QByteArray WithClaimedSize(QByteArray jpeg, QSize size);

// `jpeg` padded after its end-of-image marker to exactly `bytes` bytes; decoders ignore what
// follows the end of the picture.
QByteArray PaddedTo(QByteArray jpeg, qsizetype bytes);
