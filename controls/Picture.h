#pragma once

#include "PictureFile.h"

#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>
#include <functional>
#include <memory>

class QDataStream;
class QIODevice;
class QPainter;
class QPaintDevice;
class QThreadPool;

// Holds at most one decoded picture and draws it stretched into a rectangle.
//
// Loading is one chain: a path opens a file, a file is read through an archive (a QDataStream),
// an archive hands its device to the decoder. A resource ":/IMAGE/<id>" enters at the file step.
// Every load attempt first drops the picture held before, so a failed load leaves the object
// empty; only a resource that does not exist leaves it as it was.
//
// Every load keeps the bounds of PictureFile.h: a path must name a regular file, which is opened
// without blocking; at most kPictureMaxBytes are read from any device; the header must give a
// size within kPictureMaxSide; a JPEG may have at most kPictureMaxJpegScans scans. A picture
// over kPictureMaxDecodedSide is decoded at a half or a quarter of its size but reports, draws
// and sizes buttons at the size its header gives.
//
// Sizes are kept in HIMETRIC (0.01 mm) as the picture reports them at 96 dpi, and converted to
// pixels for the device drawn on.
class CPicture
{
public:
    CPicture();
    virtual ~CPicture();
    CPicture(const CPicture&) = delete;
    CPicture& operator=(const CPicture&) = delete;

    void Clear();
    // True once a load has succeeded, and while a background load is decoding.
    bool IsLoaded() const { return !m_pPicture.isNull() || IsDecoding(); }

    bool LoadFromPath(const QString& path);
    bool LoadFromFile(QIODevice* file);
    bool LoadFromArchive(QDataStream* archive);
    bool LoadFromStream(QIODevice* stream);
    bool LoadFromResource(quint32 id);

    // Checks the file and its header now, on the calling thread: a regular file within
    // kPictureMaxBytes, a known format, a size within kPictureMaxSide; only the header is read.
    // Then reads it whole on a pool of two threads, with every check of LoadFromPath (the JPEG
    // scans among them), and decodes it there; higher `priority` goes sooner. From the return on,
    // the picture has its size and counts as loaded, but draws nothing until the decode has
    // arrived. `arrived` then runs on the calling thread's event loop, after the picture has
    // taken the result; a picture that fails there leaves the object empty, with LastProblem
    // saying why, as a failed load does.
    // Another load, Clear or the object's end abandon the decode, and `arrived` is not called.
    // `arrived` must not load into or clear this picture. Needs a running QCoreApplication.
    bool LoadFromPathInBackground(const QString& path, int priority = 0,
                                  std::function<void()> arrived = {});
    bool IsDecoding() const;

    // The pool the background loads decode on.
    static QThreadPool& DecodePool();

    // Why the last load failed; None after a success, and while decoding.
    PictureProblem LastProblem() const { return m_problem; }

    // Size in pixels of `device` (the primary screen's when null); (0, 0) when empty.
    QSize GetPixelSize(const QPaintDevice* device = nullptr) const;
    QSize GetHimetricSize() const { return m_himetric; }
    // The size the picture was decoded at: the header's, or a half or a quarter of it.
    QSize GetDecodedSize() const { return m_pPicture.size(); }

    // Draws the picture stretched to `rect`, smoothly and without keeping its aspect ratio.
    // A rect of (0, 0, 0, 0) means the picture's own pixel size at the origin. Always true.
    bool Draw(QPainter* painter, QRect rect) const;

private:
    struct Decoded;
    struct Decoding;
    void Arrived();

    QImage m_pPicture;
    QSize m_himetric;
    PictureProblem m_problem = PictureProblem::None;
    std::unique_ptr<Decoding> m_decoding;
};
