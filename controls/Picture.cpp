#include "Picture.h"

#include "Allocator.h"

#include <QDataStream>
#include <QFile>
#include <QFutureWatcher>
#include <QGuiApplication>
#include <QPaintDevice>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QThreadPool>
#include <QtConcurrent/qtconcurrenttask.h>
#include <cmath>

namespace {

constexpr int kHimetricPerInch = 2540;
// Pictures carry no resolution of their own here: like the platform decoder, we take a pixel to
// be 1/96 inch when converting to HIMETRIC.
constexpr int kPictureDpi = 96;

// Two threads: a second core's worth of decoding, the rest of the machine left to the window
// and to libvlc starting up.
constexpr int kDecodeThreads = 2;

int mulDiv(int value, int numerator, int denominator)
{
    return int(std::lround(double(value) * numerator / denominator));
}

// Decoding has a pool of its own: Qt 6.4 scales and converts images for painting on its global
// pool and waits for it, so decodes queued there would stall every smooth paint.
QThreadPool& decoders()
{
    static QPointer<QThreadPool> pool;
    if (pool.isNull()) {
        // Owned by the application, which ends it before Qt's own teardown; its tasks have been
        // abandoned by then, with the pictures that started them, and end at once.
        pool = new QThreadPool(QCoreApplication::instance());
        pool->setObjectName(QStringLiteral("picture decoders"));
        pool->setMaxThreadCount(kDecodeThreads);
    }
    return *pool;
}

// Background decodes started and neither arrived nor abandoned.
std::atomic<int> outstandingDecodes{0};

// A large picture's decode takes tens of megabytes once (libjpeg holds a progressive JPEG's
// coefficients for the whole picture); once the last has arrived, the heap is asked to return
// what was freed instead of keeping it for allocations that will not come.
void decodeEnded(bool arrived)
{
    if (outstandingDecodes.fetch_sub(1) != 1 || !arrived)
        return;
    ReturnFreedMemory();
}

QSize himetricOf(QSize pixels)
{
    return {mulDiv(pixels.width(), kHimetricPerInch, kPictureDpi),
            mulDiv(pixels.height(), kHimetricPerInch, kPictureDpi)};
}

} // namespace

// What a background decode hands back.
struct CPicture::Decoded
{
    QImage image;
    PictureProblem problem = PictureProblem::None;
};

// A decode running on the thread pool. Its end tells the worker to stop, and destroying the
// watcher drops a result that has not been reported yet.
struct CPicture::Decoding
{
    std::shared_ptr<std::atomic<bool>> cancelled = std::make_shared<std::atomic<bool>>(false);
    QFutureWatcher<Decoded> watcher;
    std::function<void()> arrived;
    bool pending = true;

    Decoding() { outstandingDecodes.fetch_add(1); }
    ~Decoding()
    {
        cancelled->store(true, std::memory_order_relaxed);
        if (pending)
            decodeEnded(false);
    }
    Decoding(const Decoding&) = delete;
    Decoding& operator=(const Decoding&) = delete;
};

CPicture::CPicture() = default;

CPicture::~CPicture() = default;

void CPicture::Clear()
{
    m_decoding.reset();
    m_pPicture = QImage();
    m_himetric = QSize();
    m_problem = PictureProblem::None;
}

QThreadPool& CPicture::DecodePool()
{
    return decoders();
}

bool CPicture::IsDecoding() const
{
    return m_decoding != nullptr && m_decoding->pending;
}

bool CPicture::LoadFromPath(const QString& path)
{
    Clear();
    const std::unique_ptr<QFile> file = OpenPictureFile(path, &m_problem);
    if (!file)
        return false;
    return LoadFromFile(file.get());
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
    const EncodedPicture encoded = ReadPicture(stream);
    if (!encoded.ok()) {
        m_problem = encoded.problem;
        return false;
    }
    QImage image = DecodePicture(encoded);
    if (image.isNull()) {
        m_problem = PictureProblem::Undecodable;
        return false;
    }
    m_himetric = himetricOf(encoded.size);
    m_pPicture = std::move(image);
    return true;
}

bool CPicture::LoadFromPathInBackground(const QString& path, int priority,
                                        std::function<void()> arrived)
{
    Clear();
    const EncodedPicture header = ReadPictureFileHeader(path);
    if (!header.ok()) {
        m_problem = header.problem;
        return false;
    }
    m_himetric = himetricOf(header.size);
    m_decoding = std::make_unique<Decoding>();
    m_decoding->arrived = std::move(arrived);
    QObject::connect(&m_decoding->watcher, &QFutureWatcherBase::finished, &m_decoding->watcher,
                     [this] { Arrived(); });
    // The worker reads the file whole, with every check, and decodes it: sixteen pictures of
    // 8 MiB neither wait in memory for their turn nor are read on the calling thread. A file
    // changed in between is judged afresh.
    std::shared_ptr<const std::atomic<bool>> cancelled = m_decoding->cancelled;
    m_decoding->watcher.setFuture(QtConcurrent::task([path, cancelled] {
                                      Decoded decoded;
                                      if (cancelled->load(std::memory_order_relaxed))
                                          return decoded;
                                      const EncodedPicture encoded = ReadPictureFile(path);
                                      decoded.problem = encoded.problem;
                                      if (encoded.ok()) {
                                          decoded.image = DecodePicture(encoded, cancelled);
                                          if (decoded.image.isNull())
                                              decoded.problem = PictureProblem::Undecodable;
                                      }
                                      return decoded;
                                  })
                                      .onThreadPool(decoders())
                                      .withPriority(priority)
                                      .spawn());
    return true;
}

void CPicture::Arrived()
{
    Decoding& decoding = *m_decoding;
    if (!decoding.pending || decoding.watcher.future().resultCount() == 0)
        return;
    decoding.pending = false;
    decodeEnded(true);
    // The watcher stays until the next load or Clear: it is the sender of the signal being
    // handled, and must outlive its handler.
    Decoded decoded = decoding.watcher.result();
    if (decoded.image.isNull()) {
        m_himetric = QSize();
        m_problem = decoded.problem;
    } else {
        m_pPicture = std::move(decoded.image);
    }
    const std::function<void()> arrived = std::move(decoding.arrived);
    if (arrived)
        arrived();
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
    if (m_pPicture.isNull() || painter == nullptr || rect.width() <= 0 || rect.height() <= 0)
        return true;
    const bool smooth = painter->testRenderHint(QPainter::SmoothPixmapTransform);
    painter->setRenderHint(QPainter::SmoothPixmapTransform, true);
    painter->drawImage(rect, m_pPicture);
    painter->setRenderHint(QPainter::SmoothPixmapTransform, smooth);
    return true;
}
