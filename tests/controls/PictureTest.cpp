// Pictures as anyone with write access to images/ might leave them: every one must fail fast and
// leave the picture empty, or load within the bounds.
#include "Picture.h"

#include "BlockedPool.h"
#include "JpegFiles.h"
#include "PictureFile.h"
#include "TestNames.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QPainter>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>

void PrintTo(PictureProblem problem, std::ostream* os)
{
    static const char* const kNames[] = {"None",         "NotAPlainFile", "Unreadable",
                                         "TooManyBytes", "NotAPicture",   "TooManyPixels",
                                         "TooManyScans", "Undecodable"};
    *os << kNames[int(problem)];
}

namespace {

QString write(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    EXPECT_EQ(file.write(bytes), bytes.size());
    return path;
}

// The two-colour picture MakeJpeg makes, written by Qt in another format.
QByteArray Encoded(const char* format, QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QPainter(&image).fillRect(0, 0, size.width() / 2, size.height(), Qt::red);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(image.save(&buffer, format));
    return bytes;
}

bool waitUntilDecoded(const CPicture& picture)
{
    return ProcessEventsUntil([&] { return !picture.IsDecoding(); }, 20000);
}

// The colours a picture shows at the left and right quarter when drawn into 64 x 32.
std::pair<QRgb, QRgb> shownColours(const CPicture& picture)
{
    QImage canvas(64, 32, QImage::Format_RGB32);
    canvas.fill(Qt::black);
    {
        QPainter painter(&canvas);
        picture.Draw(&painter, canvas.rect());
    }
    return {canvas.pixel(8, 16), canvas.pixel(56, 16)};
}

bool near(QRgb pixel, QColor colour)
{
    return std::abs(qRed(pixel) - colour.red()) < 40 &&
           std::abs(qGreen(pixel) - colour.green()) < 40 &&
           std::abs(qBlue(pixel) - colour.blue()) < 40;
}

// An image to paint on whose logical resolution is `dpi`.
QImage canvas(int width, int height, int dpi = 96)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    image.setDotsPerMeterX(int(dpi / 0.0254 + 0.5));
    image.setDotsPerMeterY(int(dpi / 0.0254 + 0.5));
    return image;
}

const QSize kSmall(64, 48);

template <class Case> class WithFiles : public ::testing::TestWithParam<Case>
{
protected:
    QTemporaryDir m_dir;
};

// ---------------------------------------------------------------------------------------------
// Files that must not load.

using P = PictureProblem;

struct HostileFile
{
    const char* name;
    PictureProblem problem;
    // Makes the file at `at`, where nothing is, and gives the path to load.
    std::function<QString(const QString& at)> make;
};

std::function<QString(const QString&)> holding(QByteArray (*bytes)())
{
    return [bytes](const QString& at) {
        return write(at, bytes());
    };
}

using HostilePicture = WithFiles<HostileFile>;

// The file is refused at once where it or its header tells, otherwise on the worker. A file put
// in place of one whose background load is queued is judged afresh there.
TEST_P(HostilePicture, FailsAndLeavesThePictureEmpty)
{
    const HostileFile& c = GetParam();
    const QString at = m_dir.filePath(QStringLiteral("channel01-1.jpg"));
    const QString good = write(m_dir.filePath(QStringLiteral("good.jpg")), MakeJpeg(kSmall, false));
    ASSERT_TRUE(QFile::copy(good, at));

    CPicture replaced;
    int arrivals = 0;
    QString path;
    {
        BlockedPool pool;
        ASSERT_TRUE(replaced.LoadFromPathInBackground(at, 0, [&] { ++arrivals; }));
        ASSERT_TRUE(QFile::remove(at));
        path = c.make(at);
    }
    ASSERT_TRUE(waitUntilDecoded(replaced));
    EXPECT_EQ(arrivals, 1);
    EXPECT_FALSE(replaced.IsLoaded());
    EXPECT_EQ(replaced.GetPixelSize(), QSize(0, 0));
    EXPECT_EQ(replaced.LastProblem(), c.problem);

    CPicture picture;
    ASSERT_TRUE(picture.LoadFromPath(good));
    EXPECT_FALSE(picture.LoadFromPath(path));
    EXPECT_FALSE(picture.IsLoaded());
    EXPECT_EQ(picture.GetPixelSize(), QSize(0, 0));
    EXPECT_EQ(picture.LastProblem(), c.problem);

    ASSERT_TRUE(picture.LoadFromPath(good));
    EXPECT_EQ(picture.LoadFromPathInBackground(path),
              c.problem == P::Undecodable || c.problem == P::TooManyScans);
    ASSERT_TRUE(waitUntilDecoded(picture));
    EXPECT_FALSE(picture.IsLoaded());
    EXPECT_EQ(picture.GetPixelSize(), QSize(0, 0));
    EXPECT_EQ(picture.LastProblem(), c.problem);
}

const HostileFile kHostileFiles[] = {
    {"fifo_without_a_writer", P::NotAPlainFile,
     [](const QString& at) {
         EXPECT_EQ(::mkfifo(QFile::encodeName(at).constData(), 0600), 0);
         return at;
     }},
    {"folder", P::NotAPlainFile,
     [](const QString& at) {
         EXPECT_TRUE(QDir().mkdir(at));
         return at;
     }},
    {"device", P::NotAPlainFile,
     [](const QString&) {
         return QStringLiteral("/dev/zero");
     }},
    {"link_to_a_device", P::NotAPlainFile,
     [](const QString& at) {
         EXPECT_TRUE(QFile::link(QStringLiteral("/dev/zero"), at));
         return at;
     }},
    {"missing", P::NotAPlainFile,
     [](const QString& at) {
         return at;
     }},
    {"one_byte_over_8_MiB", P::TooManyBytes,
     holding([] { return PaddedTo(MakeJpeg(kSmall, false), kPictureMaxBytes + 1); })},
    {"header_claims_4097_wide", P::TooManyPixels,
     holding([] { return WithClaimedSize(MakeJpeg(kSmall, false), QSize(4097, 16)); })},
    {"header_claims_4097_high", P::TooManyPixels,
     holding([] { return WithClaimedSize(MakeJpeg(kSmall, false), QSize(16, 4097)); })},
    {"progressive_with_101_scans", P::TooManyScans,
     holding([] { return WithScans(MakeJpeg(kSmall, true), 101); })},
    {"text", P::NotAPicture, holding([] { return QByteArray("not a picture"); })},
    // Formats Qt reads but the channel pictures never came in: PNG's text chunks are inflated
    // whole, and its chunk lengths allocated before they are read.
    {"png", P::NotAPicture, holding([] { return Encoded("PNG", kSmall); })},
    {"xpm", P::NotAPicture, holding([] { return Encoded("XPM", kSmall); })},
    {"empty", P::NotAPicture, holding([] { return QByteArray(); })},
    {"truncated_header", P::NotAPicture, holding([] { return MakeJpeg(kSmall, false).first(40); })},
    // Logical screen 3 x 8195, one frame of 3 x 3: the header gives the frame's size, the
    // decoder paints the whole screen.
    {"gif_whose_screen_is_far_larger_than_its_frame", P::Undecodable, holding([] {
         return QByteArray::fromHex("47494638396103000320f00000008000"
                                    "00000021f90400000000002c00000000"
                                    "03000300000203847f05003b");
     })},
    // Its quantization tables made application data, which the decoder skips.
    {"no_quantization_tables", P::Undecodable,
     holding([] { return MakeJpeg(kSmall, false).replace("\xFF\xDB", "\xFF\xE5"); })},
};

INSTANTIATE_TEST_SUITE_P(Files, HostilePicture, ::testing::ValuesIn(kHostileFiles), ByName());

// ---------------------------------------------------------------------------------------------
// Pictures at the bounds load, decoded at most at kPictureMaxDecodedSide, shown as they are.

struct BoundCase
{
    const char* name;
    std::function<QByteArray()> bytes;
    QSize header;
    QSize decoded;
};

using PictureAtTheBound = WithFiles<BoundCase>;

TEST_P(PictureAtTheBound, LoadsAndReportsItsHeaderSize)
{
    const BoundCase& c = GetParam();
    const QString path = write(m_dir.filePath(QStringLiteral("bound.jpg")), c.bytes());
    const QImage at96 = canvas(1, 1, 96);
    const QImage at192 = canvas(1, 1, 192);

    CPicture now;
    ASSERT_TRUE(now.LoadFromPath(path));
    EXPECT_EQ(now.GetPixelSize(&at96), c.header);
    EXPECT_EQ(now.GetPixelSize(&at192), c.header * 2);
    EXPECT_EQ(now.GetDecodedSize(), c.decoded);
    const auto [left, right] = shownColours(now);
    EXPECT_TRUE(near(left, Qt::red)) << std::hex << left;
    EXPECT_TRUE(near(right, Qt::blue)) << std::hex << right;

    CPicture later;
    int arrivals = 0;
    ASSERT_TRUE(later.LoadFromPathInBackground(path, 0, [&] { ++arrivals; }));
    EXPECT_TRUE(later.IsLoaded());
    EXPECT_EQ(later.GetPixelSize(&at96), c.header) << "the size is known before the decode";
    ASSERT_TRUE(waitUntilDecoded(later));
    EXPECT_EQ(arrivals, 1);
    EXPECT_EQ(later.GetDecodedSize(), c.decoded);
    EXPECT_EQ(shownColours(later), shownColours(now));
}

const BoundCase kBoundCases[] = {
    {"exactly_8_MiB", [] { return PaddedTo(MakeJpeg(kSmall, false), kPictureMaxBytes); }, kSmall,
     kSmall},
    {"exactly_100_scans", [] { return WithScans(MakeJpeg(kSmall, true), 100); }, kSmall, kSmall},
    {"4096_by_4096_decoded_at_a_quarter", [] { return MakeJpeg(QSize(4096, 4096), true); },
     QSize(4096, 4096), QSize(1024, 1024)},
    {"1025_wide_decoded_at_a_half", [] { return MakeJpeg(QSize(1025, 200), false); },
     QSize(1025, 200), QSize(513, 100)},
    {"1024_wide_decoded_whole", [] { return MakeJpeg(QSize(1024, 64), false); }, QSize(1024, 64),
     QSize(1024, 64)},
    {"bmp_1500_wide_decoded_at_a_half", [] { return Encoded("BMP", QSize(1500, 300)); },
     QSize(1500, 300), QSize(750, 150)},
};

INSTANTIATE_TEST_SUITE_P(Files, PictureAtTheBound, ::testing::ValuesIn(kBoundCases), ByName());

// ---------------------------------------------------------------------------------------------
// The same bounds on devices: at most kPictureMaxBytes + 1 bytes are read, whichever way in.

// A sequential device serving `bytes`, then zeros up to `total` bytes; counts what it served.
class Source : public QIODevice
{
public:
    Source(QByteArray bytes, qint64 total) : m_bytes(std::move(bytes)), m_total(total) {}
    bool isSequential() const override { return true; }
    qint64 served() const { return m_served; }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const qint64 n = std::min(maxSize, m_total - m_served);
        for (qint64 i = 0; i < n; ++i) {
            const qint64 at = m_served + i;
            data[i] = at < m_bytes.size() ? m_bytes[at] : '\0';
        }
        m_served += n;
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray m_bytes;
    qint64 m_total;
    qint64 m_served = 0;
};

// A picture of exactly kPictureMaxBytes loads; from one that never ends, one byte more is read.
TEST(PictureFromADevice, KeepsTheBoundsWhicheverWayIn)
{
    const QByteArray jpeg = MakeJpeg(kSmall, false);
    const std::function<bool(CPicture&, QIODevice*)> loads[] = {
        [](CPicture& picture, QIODevice* device) { return picture.LoadFromStream(device); },
        [](CPicture& picture, QIODevice* device) { return picture.LoadFromFile(device); },
        [](CPicture& picture, QIODevice* device) {
            QDataStream archive(device);
            return picture.LoadFromArchive(&archive);
        }};
    for (const qint64 total : {kPictureMaxBytes, qint64(64) * 1024 * 1024}) {
        const bool fits = total <= kPictureMaxBytes;
        for (const auto& load : loads) {
            SCOPED_TRACE(total);
            Source source(jpeg, total);
            ASSERT_TRUE(source.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
            CPicture picture;
            EXPECT_EQ(load(picture, &source), fits);
            EXPECT_EQ(picture.IsLoaded(), fits);
            EXPECT_EQ(picture.LastProblem(), fits ? P::None : P::TooManyBytes);
            EXPECT_LE(source.served(), kPictureMaxBytes + 1);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Decoding in the background.

// Until the decode arrives the picture has its size and draws nothing. Another load (in the
// background or not), Clear and the picture's end abandon a decode, which then never arrives.
TEST(BackgroundDecode, DrawsNothingUntilItArrivesAndAnAbandonedOneNeverArrives)
{
    QTemporaryDir dir;
    const QString red =
        write(dir.filePath(QStringLiteral("red.jpg")), MakeJpeg(kSmall, true, Qt::red, Qt::red));
    const QString green = write(dir.filePath(QStringLiteral("green.jpg")),
                                MakeJpeg(kSmall, true, Qt::green, Qt::green));
    CPicture replaced;
    CPicture loaded;
    CPicture cleared;
    int replacedArrivals = 0;
    int abandonedArrivals = 0;
    {
        BlockedPool pool;
        ASSERT_TRUE(replaced.LoadFromPathInBackground(red, 0, [&] { ++abandonedArrivals; }));
        ASSERT_TRUE(replaced.LoadFromPathInBackground(green, 0, [&] { ++replacedArrivals; }));
        EXPECT_TRUE(replaced.IsDecoding());
        EXPECT_TRUE(replaced.IsLoaded());
        EXPECT_EQ(replaced.GetDecodedSize(), QSize(0, 0));
        EXPECT_EQ(shownColours(replaced), std::pair(qRgb(0, 0, 0), qRgb(0, 0, 0)))
            << "nothing drawn yet";
        ASSERT_TRUE(loaded.LoadFromPathInBackground(red, 0, [&] { ++abandonedArrivals; }));
        ASSERT_TRUE(loaded.LoadFromPath(green));
        EXPECT_FALSE(loaded.IsDecoding());
        ASSERT_TRUE(cleared.LoadFromPathInBackground(red, 0, [&] { ++abandonedArrivals; }));
        cleared.Clear();
        auto destroyed = std::make_unique<CPicture>();
        ASSERT_TRUE(destroyed->LoadFromPathInBackground(red, 0, [&] { ++abandonedArrivals; }));
        destroyed.reset();
    }
    ASSERT_TRUE(CPicture::DecodePool().waitForDone(20000));
    ASSERT_TRUE(waitUntilDecoded(replaced));
    QCoreApplication::processEvents();
    EXPECT_EQ(replacedArrivals, 1);
    EXPECT_EQ(abandonedArrivals, 0);
    EXPECT_TRUE(near(shownColours(replaced).first, Qt::green)) << "the later load wins";
    EXPECT_TRUE(near(shownColours(loaded).first, Qt::green));
    EXPECT_FALSE(cleared.IsLoaded());
}

// ---------------------------------------------------------------------------------------------
// Other ways in, and drawing.

TEST(PictureLoad, FromAResourceByItsLowSixteenBits)
{
    CPicture picture;
    EXPECT_FALSE(picture.LoadFromStream(nullptr));
    const QImage at96 = canvas(1, 1);
    EXPECT_TRUE(picture.LoadFromResource(0x10007));
    EXPECT_EQ(picture.GetPixelSize(&at96), QSize(48, 24));
    EXPECT_FALSE(picture.LoadFromResource(9));
    EXPECT_EQ(picture.GetPixelSize(&at96), QSize(48, 24)) << "a missing resource keeps the picture";
    EXPECT_FALSE(picture.LoadFromResource(8)) << "found but not a picture";
    EXPECT_FALSE(picture.IsLoaded());
}

// A picture read from where the stream stands is stretched to the rectangle without keeping the
// aspect ratio; (0, 0, 0, 0) is its own size at the origin; an empty rectangle or an empty
// picture draws nothing.
TEST(PictureDraw, FillsTheRectangleAndNothingElse)
{
    CPicture picture;
    const auto drawn = [&picture](QRect rect) {
        QImage target = canvas(300, 100);
        QPainter painter(&target);
        picture.Draw(&painter, rect);
        painter.end();
        return target;
    };
    EXPECT_EQ(drawn(QRect(0, 0, 300, 100)), canvas(300, 100));
    QByteArray bytes = "PREFIX" + MakeJpeg({40, 20}, false);
    QBuffer buffer(&bytes);
    ASSERT_TRUE(buffer.open(QIODevice::ReadOnly));
    buffer.seek(6);
    ASSERT_TRUE(picture.LoadFromFile(&buffer));
    EXPECT_EQ(drawn(QRect(5, 5, 0, 0)), canvas(300, 100));
    EXPECT_EQ(drawn(QRect(5, 5, 20, 0)), canvas(300, 100));

    const QImage own = drawn(QRect(0, 0, 0, 0));
    EXPECT_TRUE(near(own.pixel(5, 10), Qt::red));
    EXPECT_TRUE(near(own.pixel(35, 10), Qt::blue));
    EXPECT_TRUE(near(own.pixel(45, 10), Qt::white));
    EXPECT_TRUE(near(own.pixel(10, 25), Qt::white));

    const QImage stretched = drawn(QRect(0, 25, 300, 50));
    EXPECT_TRUE(near(stretched.pixel(70, 50), Qt::red));
    EXPECT_TRUE(near(stretched.pixel(230, 50), Qt::blue));
    EXPECT_TRUE(near(stretched.pixel(150, 10), Qt::white)) << "nothing outside the rectangle";
    EXPECT_TRUE(near(stretched.pixel(2, 27), Qt::red)) << "the whole rectangle is covered";
    EXPECT_TRUE(near(stretched.pixel(297, 72), Qt::blue));
}

} // namespace
