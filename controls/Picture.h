#pragma once

#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>

class QDataStream;
class QIODevice;
class QPainter;
class QPaintDevice;

// Holds at most one decoded picture and draws it stretched into a rectangle.
//
// Loading is one chain: a path opens a file, a file is read through an archive (a QDataStream),
// an archive hands its device to the decoder. A resource ":/IMAGE/<id>" enters at the file step.
// Every decode attempt first drops the picture held before, so a failed load leaves the object
// empty; only a resource that does not exist leaves it as it was.
//
// Sizes are kept in HIMETRIC (0.01 mm) as the picture reports them at 96 dpi, and converted to
// pixels for the device drawn on.
class CPicture
{
public:
    CPicture() = default;
    virtual ~CPicture() = default;
    CPicture(const CPicture&) = delete;
    CPicture& operator=(const CPicture&) = delete;

    void Clear();
    bool IsLoaded() const { return !m_pPicture.isNull(); }

    bool LoadFromPath(const QString& path);
    bool LoadFromFile(QIODevice* file);
    bool LoadFromArchive(QDataStream* archive);
    bool LoadFromStream(QIODevice* stream);
    bool LoadFromResource(quint32 id);

    // Size in pixels of `device` (the primary screen's when null); (0, 0) when empty.
    QSize GetPixelSize(const QPaintDevice* device = nullptr) const;
    QSize GetHimetricSize() const { return m_himetric; }

    // Draws the picture stretched to `rect`, smoothly and without keeping its aspect ratio.
    // A rect of (0, 0, 0, 0) means the picture's own pixel size at the origin. Always true.
    bool Draw(QPainter* painter, QRect rect) const;

private:
    QImage m_pPicture;
    QSize m_himetric;
};
