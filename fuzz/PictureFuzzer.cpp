// Picture loading and drawing on any bytes: whatever the decoder makes of them must be drawable,
// and whatever loads must keep the bounds: a header within 4096 x 4096, a decode within
// 1024 x 1024, at most 100 scans for a JPEG. The scan count itself must only count real
// start-of-scan markers.
#include "JpegScans.h"
#include "Picture.h"
#include "PictureFile.h"

#include <QBuffer>
#include <QImage>
#include <QPainter>
#include <cstdlib>
#include <cstring>

namespace {

int startOfScanMarkers(const uint8_t* data, size_t size)
{
    int markers = 0;
    for (size_t i = 0; i + 1 < size; ++i)
        if (data[i] == 0xFF && data[i + 1] == 0xDA)
            ++markers;
    return markers;
}

void dropMessage(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

// The decoders warn about nearly every input a fuzzer makes; writing a million warnings would
// take more of the run than the decoding.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qInstallMessageHandler(dropMessage);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));

    const int scans = CountJpegScans(bytes);
    if (scans < 0 || scans > startOfScanMarkers(data, size))
        std::abort();

    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    CPicture picture;
    const bool loaded = picture.LoadFromFile(&buffer);
    if (loaded != picture.IsLoaded() || loaded != (picture.LastProblem() == PictureProblem::None))
        std::abort();

    // The checks alone agree with the load: a picture they refuse never loads, and one they
    // take fails, if at all, only in the decoder.
    const EncodedPicture checked = CheckPicture(bytes);
    // The format is the one the first bytes name, decided before any decoder runs.
    const QByteArrayView head(bytes);
    const bool named = head.startsWith("\xFF\xD8\xFF") || head.startsWith("GIF87a") ||
                       head.startsWith("GIF89a") || head.startsWith("BM");
    if ((checked.ok() || loaded) && !named)
        std::abort();
    if (!checked.ok() && (loaded || picture.LastProblem() != checked.problem))
        std::abort();
    if (checked.ok() && !loaded && picture.LastProblem() != PictureProblem::Undecodable)
        std::abort();

    QImage canvas(64, 48, QImage::Format_RGB32);
    canvas.fill(Qt::black);
    canvas.setDotsPerMeterX(3780); // 96 dpi: pixels as the header gives them
    canvas.setDotsPerMeterY(3780);
    const QSize pixels = picture.GetPixelSize(&canvas);
    if (!loaded && !pixels.isNull())
        std::abort();
    if (loaded) {
        const QSize decoded = picture.GetDecodedSize();
        if (pixels.width() > kPictureMaxSide || pixels.height() > kPictureMaxSide ||
            decoded.width() > kPictureMaxDecodedSide || decoded.height() > kPictureMaxDecodedSide ||
            decoded.isEmpty())
            std::abort();
        if (size >= 2 && data[0] == 0xFF && data[1] == 0xD8 && scans > kPictureMaxJpegScans)
            std::abort();
    }
    QPainter painter(&canvas);
    picture.Draw(&painter, QRect(0, 0, 64, 48));
    picture.Draw(&painter, QRect(3, 4, 1, 200));
    return 0;
}
