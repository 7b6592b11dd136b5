#include "Picture.h"

#include <QDataStream>
#include <QFile>
#include <QGuiApplication>
#include <QImageReader>
#include <QPaintDevice>
#include <QPainter>
#include <QScreen>
#include <cmath>

namespace {

constexpr int kHimetricPerInch = 2540;
// Pictures carry no resolution of their own here: like the platform decoder, we take a pixel to
// be 1/96 inch when converting to HIMETRIC.
constexpr int kPictureDpi = 96;

int mulDiv(int value, int numerator, int denominator)
{
    return int(std::lround(double(value) * numerator / denominator));
}

} // namespace

void CPicture::Clear()
{
    m_pPicture = QImage();
    m_himetric = QSize();
}

bool CPicture::LoadFromPath(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        Clear();
        return false;
    }
    const bool loaded = LoadFromFile(&file);
    file.close();
    return loaded;
}

bool CPicture::LoadFromFile(QIODevice* file)
{
    QDataStream archive(file);
    return LoadFromArchive(&archive);
}

bool CPicture::LoadFromArchive(QDataStream* archive)
{
    return LoadFromStream(archive->device());
}

bool CPicture::LoadFromStream(QIODevice* stream)
{
    Clear();
    if (stream == nullptr)
        return false;
    QImageReader reader(stream);
    // The reader refuses images whose decoded size would pass its allocation limit, so a header
    // that claims a gigantic picture costs nothing.
    QImage image = reader.read();
    if (image.isNull())
        return false;
    m_himetric = QSize(mulDiv(image.width(), kHimetricPerInch, kPictureDpi),
                       mulDiv(image.height(), kHimetricPerInch, kPictureDpi));
    m_pPicture = std::move(image);
    return true;
}

bool CPicture::LoadFromResource(quint32 id)
{
    QFile resource(QStringLiteral(":/IMAGE/%1").arg(id & 0xFFFF));
    if (!resource.exists() || !resource.open(QIODevice::ReadOnly))
        return false;
    return LoadFromFile(&resource);
}

QSize CPicture::GetPixelSize(const QPaintDevice* device) const
{
    if (!IsLoaded())
        return {0, 0};
    double dpiX = kPictureDpi;
    double dpiY = kPictureDpi;
    if (device != nullptr) {
        dpiX = device->logicalDpiX();
        dpiY = device->logicalDpiY();
    } else if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        dpiX = screen->logicalDotsPerInchX();
        dpiY = screen->logicalDotsPerInchY();
    }
    return {int(std::lround(m_himetric.width() * dpiX / kHimetricPerInch)),
            int(std::lround(m_himetric.height() * dpiY / kHimetricPerInch))};
}

bool CPicture::Draw(QPainter* painter, QRect rect) const
{
    if (rect == QRect(0, 0, 0, 0))
        rect = QRect(QPoint(0, 0), GetPixelSize(painter != nullptr ? painter->device() : nullptr));
    if (!IsLoaded() || painter == nullptr || rect.width() <= 0 || rect.height() <= 0)
        return true;
    const bool smooth = painter->testRenderHint(QPainter::SmoothPixmapTransform);
    painter->setRenderHint(QPainter::SmoothPixmapTransform, true);
    painter->drawImage(rect, m_pPicture);
    painter->setRenderHint(QPainter::SmoothPixmapTransform, smooth);
    return true;
}
