// Pictures as anyone with write access to images/ might leave them: every one must fail fast and
// leave the picture empty, or load within the bounds.
#include "BlockedPool.h"
#include "FifoRescue.h"
#include "JpegFiles.h"
#include "Picture.h"
#include "PictureFile.h"

#include <QBuffer>
#include <QDataStream>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* problemName(PictureProblem problem)
{
    switch (problem) {
    case PictureProblem::None:
        return "None";
    case PictureProblem::NotAPlainFile:
        return "NotAPlainFile";
    case PictureProblem::Unreadable:
        return "Unreadable";
    case PictureProblem::TooManyBytes:
        return "TooManyBytes";
    case PictureProblem::NotAPicture:
        return "NotAPicture";
    case PictureProblem::TooManyPixels:
        return "TooManyPixels";
    case PictureProblem::TooManyScans:
        return "TooManyScans";
    case PictureProblem::Undecodable:
        return "Undecodable";
    }
    return "?";
}

QString write(const QDir& dir, const char* name, const QByteArray& bytes)
{
    QString path = dir.filePath(QString::fromLatin1(name));
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
    QElapsedTimer clock;
    clock.start();
    while (picture.IsDecoding()) {
        if (clock.elapsed() > 20000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
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

const QSize kSmall(64, 48);

// ---------------------------------------------------------------------------------------------
// Files that must not load.

struct HostileFile
{
    const char* name;
    std::function<QString(const QDir&)> make;
    PictureProblem problem;
};

void PrintTo(const HostileFile& c, std::ostream* os)
{
    *os << c.name;
}

class HostilePicture : public ::testing::TestWithParam<HostileFile>
{
protected:
    QTemporaryDir m_dir;
};

TEST_P(HostilePicture, FailsAtOnceAndLeavesThePictureEmpty)
{
    const HostileFile& c = GetParam();
    const QString path = c.make(QDir(m_dir.path()));
    const QString good = write(QDir(m_dir.path()), "good.jpg", MakeJpeg(kSmall, false));
    struct stat status = {};
    const bool fifo =
        ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISFIFO(status.st_mode);

    CPicture picture;
    ASSERT_TRUE(picture.LoadFromPath(good));
    {
        const auto rescue = fifo ? std::make_unique<FifoRescue>(path, 3) : nullptr;
        EXPECT_FALSE(picture.LoadFromPath(path));
    }
    EXPECT_FALSE(picture.IsLoaded());
    EXPECT_EQ(picture.GetPixelSize(), QSize(0, 0));
    EXPECT_STREQ(problemName(picture.LastProblem()), problemName(c.problem));

    // The background load checks the file and its header at once; the scans and the decode
    // are checked on the worker, and their failure arrives later.
    CPicture background;
    ASSERT_TRUE(background.LoadFromPath(good));
    bool accepted = true;
    {
        const auto rescue = fifo ? std::make_unique<FifoRescue>(path, 3) : nullptr;
        accepted = background.LoadFromPathInBackground(path);
    }
    EXPECT_EQ(accepted, c.problem == PictureProblem::Undecodable ||
                            c.problem == PictureProblem::TooManyScans);
    ASSERT_TRUE(waitUntilDecoded(background));
    EXPECT_FALSE(background.IsLoaded());
    EXPECT_EQ(background.GetPixelSize(), QSize(0, 0));
    EXPECT_STREQ(problemName(background.LastProblem()), problemName(c.problem));
}

INSTANTIATE_TEST_SUITE_P(
    Files, HostilePicture,
    ::testing::Values(
        HostileFile{"fifo_without_a_writer",
                    [](const QDir& dir) {
                        QString path = dir.filePath(QStringLiteral("channel01-1.jpg"));
                        EXPECT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
                        return path;
                    },
                    PictureProblem::NotAPlainFile},
        HostileFile{"folder",
                    [](const QDir& dir) {
                        dir.mkdir(QStringLiteral("folder.jpg"));
                        return dir.filePath(QStringLiteral("folder.jpg"));
                    },
                    PictureProblem::NotAPlainFile},
        HostileFile{"device", [](const QDir&) { return QStringLiteral("/dev/zero"); },
                    PictureProblem::NotAPlainFile},
        HostileFile{"link_to_a_device",
                    [](const QDir& dir) {
                        QString path = dir.filePath(QStringLiteral("zero.jpg"));
                        EXPECT_TRUE(QFile::link(QStringLiteral("/dev/zero"), path));
                        return path;
                    },
                    PictureProblem::NotAPlainFile},
        HostileFile{"missing",
                    [](const QDir& dir) { return dir.filePath(QStringLiteral("missing.jpg")); },
                    PictureProblem::NotAPlainFile},
        HostileFile{"one_byte_over_8_MiB",
                    [](const QDir& dir) {
                        return write(dir, "big.jpg",
                                     PaddedTo(MakeJpeg(kSmall, false), kPictureMaxBytes + 1));
                    },
                    PictureProblem::TooManyBytes},
        HostileFile{"header_claims_5000_by_5000",
                    [](const QDir& dir) {
                        return write(dir, "claims.jpg",
                                     WithClaimedSize(MakeJpeg(kSmall, false), {5000, 5000}));
                    },
                    PictureProblem::TooManyPixels},
        HostileFile{
            "header_claims_4097_wide",
            [](const QDir& dir) {
                return write(dir, "wide.jpg", WithClaimedSize(MakeJpeg(kSmall, false), {4097, 16}));
            },
            PictureProblem::TooManyPixels},
        HostileFile{"progressive_with_101_scans",
                    [](const QDir& dir) {
                        return write(dir, "scans.jpg", WithScans(MakeJpeg(kSmall, true), 101));
                    },
                    PictureProblem::TooManyScans},
        HostileFile{"text", [](const QDir& dir) { return write(dir, "text.jpg", "not a picture"); },
                    PictureProblem::NotAPicture},
        // Formats Qt reads but the channel pictures never came in: PNG's text chunks are
        // inflated whole, and its chunk lengths allocated before they are read.
        HostileFile{"png",
                    [](const QDir& dir) { return write(dir, "png.jpg", Encoded("PNG", kSmall)); },
                    PictureProblem::NotAPicture},
        HostileFile{"xpm",
                    [](const QDir& dir) { return write(dir, "xpm.jpg", Encoded("XPM", kSmall)); },
                    PictureProblem::NotAPicture},
        HostileFile{"empty", [](const QDir& dir) { return write(dir, "empty.jpg", ""); },
                    PictureProblem::NotAPicture},
        HostileFile{"truncated_header",
                    [](const QDir& dir) {
                        return write(dir, "cut.jpg", MakeJpeg(kSmall, false).first(40));
                    },
                    PictureProblem::NotAPicture},
        HostileFile{"gif_whose_screen_is_far_larger_than_its_frame",
                    [](const QDir& dir) {
                        // Logical screen 3 x 8195, one frame of 3 x 3: the header gives the
                        // frame's size, the decoder paints the whole screen.
                        return write(dir, "screen.gif",
                                     QByteArray::fromHex("47494638396103000320f00000008000"
                                                         "00000021f90400000000002c00000000"
                                                         "0300030000020384"
                                                         "7f05003b"));
                    },
                    PictureProblem::Undecodable},
        HostileFile{"no_quantization_tables",
                    [](const QDir& dir) {
                        return write(dir, "noquant.jpg",
                                     WithoutSegments(MakeJpeg(kSmall, false), 0xDB));
                    },
                    PictureProblem::Undecodable}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Pictures at the bounds load, decoded at most at kPictureMaxDecodedSide, shown as they are.

struct BoundCase
{
    const char* name;
    std::function<QByteArray()> bytes;
    QSize header;
    QSize decoded;
};

void PrintTo(const BoundCase& c, std::ostream* os)
{
    *os << c.name;
}

class PictureAtTheBound : public ::testing::TestWithParam<BoundCase>
{
protected:
    QTemporaryDir m_dir;
};

TEST_P(PictureAtTheBound, LoadsAndReportsItsHeaderSize)
{
    const BoundCase& c = GetParam();
    const QString path = write(QDir(m_dir.path()), "bound.jpg", c.bytes());
    const QImage at96 = [] {
        QImage image(1, 1, QImage::Format_RGB32);
        image.setDotsPerMeterX(3780);
        image.setDotsPerMeterY(3780);
        return image;
    }();

    CPicture now;
    ASSERT_TRUE(now.LoadFromPath(path));
    EXPECT_EQ(now.GetPixelSize(&at96), c.header);
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

INSTANTIATE_TEST_SUITE_P(
    Files, PictureAtTheBound,
    ::testing::Values(BoundCase{"exactly_8_MiB",
                                [] { return PaddedTo(MakeJpeg(kSmall, false), kPictureMaxBytes); },
                                kSmall, kSmall},
                      BoundCase{"exactly_100_scans",
                                [] { return WithScans(MakeJpeg(kSmall, true), 100); }, kSmall,
                                kSmall},
                      BoundCase{"4096_by_4096_decoded_at_a_quarter",
                                [] {
                                    return MakeJpeg({4096, 4096}, true);
                                },
                                QSize(4096, 4096), QSize(1024, 1024)},
                      BoundCase{"1025_wide_decoded_at_a_half",
                                [] {
                                    return MakeJpeg({1025, 200}, false);
                                },
                                QSize(1025, 200), QSize(513, 100)},
                      BoundCase{"1024_wide_decoded_whole",
                                [] {
                                    return MakeJpeg({1024, 64}, false);
                                },
                                QSize(1024, 64), QSize(1024, 64)},
                      BoundCase{"bmp_1500_wide_decoded_at_a_half",
                                [] {
                                    return Encoded("BMP", {1500, 300});
                                },
                                QSize(1500, 300), QSize(750, 150)}),
    [](const auto& info) { return std::string(info.param.name); });

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

enum class Entry
{
    Stream,
    File,
    Archive
};

struct StreamCase
{
    const char* name;
    std::function<QByteArray()> bytes;
    qint64 total; // bytes the device serves; more than the picture is zeros after it
    PictureProblem problem;
};

void PrintTo(const StreamCase& c, std::ostream* os)
{
    *os << c.name;
}

void PrintTo(Entry entry, std::ostream* os)
{
    static const char* const kEntries[] = {"LoadFromStream", "LoadFromFile", "LoadFromArchive"};
    *os << kEntries[int(entry)];
}

class PictureFromADevice : public ::testing::TestWithParam<std::tuple<Entry, StreamCase>>
{};

TEST_P(PictureFromADevice, KeepsTheBounds)
{
    const auto& [entry, c] = GetParam();
    const QByteArray bytes = c.bytes();
    Source source(bytes, c.total < 0 ? bytes.size() : c.total);
    ASSERT_TRUE(source.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    CPicture picture;
    bool loaded = false;
    switch (entry) {
    case Entry::Stream:
        loaded = picture.LoadFromStream(&source);
        break;
    case Entry::File:
        loaded = picture.LoadFromFile(&source);
        break;
    case Entry::Archive: {
        QDataStream archive(&source);
        loaded = picture.LoadFromArchive(&archive);
        break;
    }
    }
    EXPECT_EQ(loaded, c.problem == PictureProblem::None);
    EXPECT_EQ(picture.IsLoaded(), loaded);
    EXPECT_STREQ(problemName(picture.LastProblem()), problemName(c.problem));
    EXPECT_LE(source.served(), kPictureMaxBytes + 1);
}

const StreamCase kStreamCases[] = {
    {"endless", [] { return MakeJpeg(kSmall, false); }, qint64(64) * 1024 * 1024,
     PictureProblem::TooManyBytes},
    {"header_claims_5000_by_5000",
     [] {
         return WithClaimedSize(MakeJpeg(kSmall, false), {5000, 5000});
     },
     -1, PictureProblem::TooManyPixels},
    {"progressive_with_101_scans", [] { return WithScans(MakeJpeg(kSmall, true), 101); }, -1,
     PictureProblem::TooManyScans},
    {"exactly_100_scans", [] { return WithScans(MakeJpeg(kSmall, true), 100); }, -1,
     PictureProblem::None},
    {"exactly_8_MiB", [] { return MakeJpeg(kSmall, false); }, kPictureMaxBytes,
     PictureProblem::None},
};

std::string deviceCaseName(const ::testing::TestParamInfo<std::tuple<Entry, StreamCase>>& info)
{
    static const char* const kEntries[] = {"stream", "file", "archive"};
    return std::string(kEntries[int(std::get<0>(info.param))]) + "_" + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Devices, PictureFromADevice,
                         ::testing::Combine(::testing::Values(Entry::Stream, Entry::File,
                                                              Entry::Archive),
                                            ::testing::ValuesIn(kStreamCases)),
                         deviceCaseName);

// ---------------------------------------------------------------------------------------------
// Decoding in the background.

class BackgroundDecode : public ::testing::Test
{
protected:
    QString jpeg(const char* name, QColor left, QColor right)
    {
        return write(QDir(m_dir.path()), name, MakeJpeg(kSmall, true, left, right));
    }
    QTemporaryDir m_dir;
};

TEST_F(BackgroundDecode, DrawsNothingUntilTheDecodeArrives)
{
    const QString path = jpeg("a.jpg", Qt::red, Qt::blue);
    CPicture picture;
    int arrivals = 0;
    {
        BlockedPool pool;
        ASSERT_TRUE(picture.LoadFromPathInBackground(path, 0, [&] { ++arrivals; }));
        EXPECT_TRUE(picture.IsDecoding());
        EXPECT_TRUE(picture.IsLoaded());
        EXPECT_EQ(picture.GetDecodedSize(), QSize(0, 0));
        const auto [left, right] = shownColours(picture);
        EXPECT_EQ(left, qRgb(0, 0, 0)) << "nothing drawn yet";
        EXPECT_EQ(right, qRgb(0, 0, 0));
    }
    ASSERT_TRUE(waitUntilDecoded(picture));
    EXPECT_EQ(arrivals, 1);
    EXPECT_TRUE(near(shownColours(picture).first, Qt::red));
}

TEST_F(BackgroundDecode, AnAbandonedDecodeNeverArrives)
{
    const QString red = jpeg("red.jpg", Qt::red, Qt::red);
    const QString green = jpeg("green.jpg", Qt::green, Qt::green);
    CPicture replaced;
    CPicture cleared;
    int replacedArrivals = 0;
    int clearedArrivals = 0;
    int destroyedArrivals = 0;
    {
        BlockedPool pool;
        ASSERT_TRUE(replaced.LoadFromPathInBackground(red, 0, [&] { ++replacedArrivals; }));
        ASSERT_TRUE(replaced.LoadFromPathInBackground(green, 0, [&] { ++replacedArrivals; }));
        ASSERT_TRUE(cleared.LoadFromPathInBackground(red, 0, [&] { ++clearedArrivals; }));
        cleared.Clear();
        auto destroyed = std::make_unique<CPicture>();
        ASSERT_TRUE(destroyed->LoadFromPathInBackground(red, 0, [&] { ++destroyedArrivals; }));
        destroyed.reset();
    }
    ASSERT_TRUE(CPicture::DecodePool().waitForDone(20000));
    ASSERT_TRUE(waitUntilDecoded(replaced));
    QCoreApplication::processEvents();
    EXPECT_EQ(replacedArrivals, 1);
    EXPECT_TRUE(near(shownColours(replaced).first, Qt::green)) << "the later load wins";
    EXPECT_EQ(clearedArrivals, 0);
    EXPECT_FALSE(cleared.IsLoaded());
    EXPECT_EQ(destroyedArrivals, 0);
}

TEST_F(BackgroundDecode, ASynchronousLoadAbandonsTheDecode)
{
    const QString red = jpeg("red.jpg", Qt::red, Qt::red);
    const QString blue = jpeg("blue.jpg", Qt::blue, Qt::blue);
    CPicture picture;
    int arrivals = 0;
    {
        BlockedPool pool;
        ASSERT_TRUE(picture.LoadFromPathInBackground(red, 0, [&] { ++arrivals; }));
        ASSERT_TRUE(picture.LoadFromPath(blue));
        EXPECT_FALSE(picture.IsDecoding());
    }
    ASSERT_TRUE(CPicture::DecodePool().waitForDone(20000));
    QCoreApplication::processEvents();
    EXPECT_EQ(arrivals, 0);
    EXPECT_TRUE(near(shownColours(picture).first, Qt::blue));
}

// A picture replaced between the check on the calling thread and the worker's turn is judged
// afresh there: whatever now lies at the path must keep every bound.
struct Replacement
{
    const char* name;
    std::function<void(const QString&)> replace;
    PictureProblem problem;
};

void PrintTo(const Replacement& c, std::ostream* os)
{
    *os << c.name;
}

class ReplacedWhileQueued : public ::testing::TestWithParam<Replacement>
{
protected:
    QTemporaryDir m_dir;
};

void overwrite(const QString& path, const QByteArray& bytes)
{
    QFile::remove(path);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

TEST_P(ReplacedWhileQueued, IsCheckedAgainOnTheWorker)
{
    const QString path = write(QDir(m_dir.path()), "channel01-1.jpg", MakeJpeg(kSmall, true));
    CPicture picture;
    int arrivals = 0;
    {
        BlockedPool pool;
        ASSERT_TRUE(picture.LoadFromPathInBackground(path, 0, [&] { ++arrivals; }));
        GetParam().replace(path);
    }
    ASSERT_TRUE(waitUntilDecoded(picture));
    EXPECT_EQ(arrivals, 1);
    EXPECT_FALSE(picture.IsLoaded());
    EXPECT_STREQ(problemName(picture.LastProblem()), problemName(GetParam().problem));
}

INSTANTIATE_TEST_SUITE_P(
    Files, ReplacedWhileQueued,
    ::testing::Values(
        Replacement{"by_a_fifo",
                    [](const QString& path) {
                        QFile::remove(path);
                        ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
                    },
                    PictureProblem::NotAPlainFile},
        Replacement{"by_nothing", [](const QString& path) { QFile::remove(path); },
                    PictureProblem::NotAPlainFile},
        Replacement{"by_a_header_claiming_5000_by_5000",
                    [](const QString& path) {
                        overwrite(path, WithClaimedSize(MakeJpeg(kSmall, false), {5000, 5000}));
                    },
                    PictureProblem::TooManyPixels},
        Replacement{"by_one_over_8_MiB",
                    [](const QString& path) {
                        overwrite(path, PaddedTo(MakeJpeg(kSmall, false), kPictureMaxBytes + 1));
                    },
                    PictureProblem::TooManyBytes},
        Replacement{
            "by_101_scans",
            [](const QString& path) { overwrite(path, WithScans(MakeJpeg(kSmall, true), 101)); },
            PictureProblem::TooManyScans}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
