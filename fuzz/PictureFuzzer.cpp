// Picture loading and drawing on any bytes: whatever the decoder makes of them must be drawable.
#include "Picture.h"

#include <QBuffer>
#include <QImage>
#include <QPainter>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    CPicture picture;
    const bool loaded = picture.LoadFromFile(&buffer);
    if (loaded != picture.IsLoaded())
        std::abort();

    QImage canvas(64, 48, QImage::Format_RGB32);
    canvas.fill(Qt::black);
    const QSize pixels = picture.GetPixelSize(&canvas);
    if (!loaded && !pixels.isNull())
        std::abort();
    QPainter painter(&canvas);
    picture.Draw(&painter, QRect(0, 0, 64, 48));
    picture.Draw(&painter, QRect(3, 4, 1, 200));
    return 0;
}
