#include "Picture.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QPainter>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// An image to paint on whose logical resolution is `dpi`.
QImage canvas(int width, int height, int dpi = 96)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    image.setDotsPerMeterX(int(dpi / 0.0254 + 0.5));
    image.setDotsPerMeterY(int(dpi / 0.0254 + 0.5));
    return image;
}

class PictureTest : public ::testing::Test
{
protected:
    // A real JPEG file: left half red, right half blue.
    QString jpeg(const char* name, int width, int height)
    {
        QImage image(width, height, QImage::Format_RGB32);
        image.fill(Qt::blue);
        QPainter(&image).fillRect(0, 0, width / 2, height, Qt::red);
        const QString path = m_dir.filePath(QString::fromLatin1(name));
        EXPECT_TRUE(image.save(path, "JPG", 95));
        return path;
    }
    QString file(const char* name, const QByteArray& bytes)
    {
        const QString path = m_dir.filePath(QString::fromLatin1(name));
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return path;
    }
    QTemporaryDir m_dir;
    CPicture m_picture;
};

bool near(QRgb pixel, QColor colour)
{
    return std::abs(qRed(pixel) - colour.red()) < 40 &&
           std::abs(qGreen(pixel) - colour.green()) < 40 &&
           std::abs(qBlue(pixel) - colour.blue()) < 40;
}

TEST_F(PictureTest, LoadsAJpegAndReportsItsSize)
{
    EXPECT_FALSE(m_picture.IsLoaded());
    EXPECT_EQ(m_picture.GetPixelSize(), QSize(0, 0));
    ASSERT_TRUE(m_picture.LoadFromPath(jpeg("a.jpg", 180, 120)));
    EXPECT_TRUE(m_picture.IsLoaded());
    const QImage at96 = canvas(1, 1, 96);
    const QImage at192 = canvas(1, 1, 192);
    EXPECT_EQ(m_picture.GetPixelSize(&at96), QSize(180, 120));
    EXPECT_EQ(m_picture.GetPixelSize(&at192), QSize(360, 240));
}

TEST_F(PictureTest, NinetySixPixelsAreOneInch)
{
    ASSERT_TRUE(m_picture.LoadFromPath(jpeg("inch.jpg", 96, 48)));
    EXPECT_EQ(m_picture.GetHimetricSize(), QSize(2540, 1270));
    const QImage at96 = canvas(1, 1, 96);
    EXPECT_EQ(m_picture.GetPixelSize(&at96).width(), 96);
}

TEST_F(PictureTest, EveryFailedDecodeLeavesTheObjectEmpty)
{
    const QString good = jpeg("good.jpg", 20, 20);
    const QString text = file("text.jpg", "this is not a picture");
    const QString truncated = [&] {
        QFile f(good);
        f.open(QIODevice::ReadOnly);
        return file("truncated.jpg", f.read(40));
    }();
    const QString empty = file("empty.jpg", "");
    QDir(m_dir.path()).mkdir(QStringLiteral("folder.jpg"));

    for (const QString& bad : {m_dir.filePath(QStringLiteral("missing.jpg")), text, truncated,
                               empty, m_dir.filePath(QStringLiteral("folder.jpg"))}) {
        ASSERT_TRUE(m_picture.LoadFromPath(good));
        EXPECT_FALSE(m_picture.LoadFromPath(bad)) << bad.toStdString();
        EXPECT_FALSE(m_picture.IsLoaded()) << bad.toStdString();
    }
    ASSERT_TRUE(m_picture.LoadFromPath(good));
    EXPECT_FALSE(m_picture.LoadFromStream(nullptr));
    EXPECT_FALSE(m_picture.IsLoaded());
}

TEST_F(PictureTest, LoadsFromAStreamAtItsPosition)
{
    QFile f(jpeg("s.jpg", 30, 10));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    QByteArray bytes = "PREFIX" + f.readAll();
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    buffer.seek(6);
    EXPECT_TRUE(m_picture.LoadFromFile(&buffer));
    const QImage at96 = canvas(1, 1);
    EXPECT_EQ(m_picture.GetPixelSize(&at96), QSize(30, 10));
}

TEST_F(PictureTest, ResourcesUseTheLowSixteenBitsAndAMissingOneChangesNothing)
{
    const QImage at96 = canvas(1, 1);
    ASSERT_TRUE(m_picture.LoadFromResource(7));
    EXPECT_EQ(m_picture.GetPixelSize(&at96), QSize(48, 24));

    ASSERT_TRUE(m_picture.LoadFromPath(jpeg("x.jpg", 10, 10)));
    EXPECT_FALSE(m_picture.LoadFromResource(9));
    EXPECT_EQ(m_picture.GetPixelSize(&at96), QSize(10, 10))
        << "a missing resource keeps the picture";

    EXPECT_TRUE(m_picture.LoadFromResource(0x10007));
    EXPECT_EQ(m_picture.GetPixelSize(&at96), QSize(48, 24));

    EXPECT_FALSE(m_picture.LoadFromResource(8)) << "found but not a picture";
    EXPECT_FALSE(m_picture.IsLoaded());
}

TEST_F(PictureTest, DrawsStretchedWithoutKeepingTheAspectRatio)
{
    ASSERT_TRUE(m_picture.LoadFromPath(jpeg("rb.jpg", 100, 100)));
    QImage target = canvas(300, 100);
    {
        QPainter painter(&target);
        m_picture.Draw(&painter, QRect(0, 25, 300, 50));
    }
    EXPECT_TRUE(near(target.pixel(70, 50), Qt::red));
    EXPECT_TRUE(near(target.pixel(230, 50), Qt::blue));
    EXPECT_TRUE(near(target.pixel(150, 10), Qt::white)) << "nothing outside the rectangle";
    EXPECT_TRUE(near(target.pixel(2, 27), Qt::red)) << "the whole rectangle is covered";
    EXPECT_TRUE(near(target.pixel(297, 72), Qt::blue));
}

TEST_F(PictureTest, ZeroRectangleDrawsAtOwnSizeAtTheOrigin)
{
    ASSERT_TRUE(m_picture.LoadFromPath(jpeg("own.jpg", 40, 20)));
    QImage target = canvas(100, 100);
    {
        QPainter painter(&target);
        m_picture.Draw(&painter, QRect(0, 0, 0, 0));
    }
    EXPECT_TRUE(near(target.pixel(5, 10), Qt::red));
    EXPECT_TRUE(near(target.pixel(35, 10), Qt::blue));
    EXPECT_TRUE(near(target.pixel(45, 10), Qt::white));
    EXPECT_TRUE(near(target.pixel(10, 25), Qt::white));
}

TEST_F(PictureTest, ZeroSizedRectangleAndEmptyPictureDrawNothing)
{
    QImage target = canvas(50, 50);
    const QImage before = target;
    {
        QPainter painter(&target);
        m_picture.Draw(&painter, QRect(0, 0, 50, 50)); // an empty object
        ASSERT_TRUE(m_picture.LoadFromPath(jpeg("z.jpg", 10, 10)));
        m_picture.Draw(&painter, QRect(5, 5, 0, 0));
        m_picture.Draw(&painter, QRect(5, 5, 20, 0));
    }
    EXPECT_EQ(target, before) << "not a pixel changed";
}

TEST_F(PictureTest, ClaimedGiantJpegIsRefusedWithoutAllocating)
{
    // A valid header that claims 30000 x 30000 pixels, with no image data behind it.
    QImage small(8, 8, QImage::Format_RGB32);
    small.fill(Qt::green);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    small.save(&buffer, "JPG");
    const qsizetype sof = bytes.indexOf("\xFF\xC0");
    ASSERT_GT(sof, 0);
    bytes[sof + 5] = char(30000 >> 8);
    bytes[sof + 6] = char(30000 & 0xFF);
    bytes[sof + 7] = char(30000 >> 8);
    bytes[sof + 8] = char(30000 & 0xFF);
    EXPECT_FALSE(m_picture.LoadFromPath(file("giant.jpg", bytes)));
    EXPECT_FALSE(m_picture.IsLoaded());
}

} // namespace
