// The picture on a screen of two device pixels to each logical one (a desktop at 200 %): made
// at its device size, it lands exactly where it is to be shown, whole, with black bands around.
#include "TestNames.h"
#include "VideoSurface.h"

#include <QImage>
#include <QPainter>
#include <gtest/gtest.h>

namespace {

struct Placement
{
    const char* name;
    QSize surface; // logical pixels
    double aspect;
    QRect picture; // device pixels
};

class Density : public ::testing::TestWithParam<Placement>
{};

TEST_P(Density, ThePictureFillsItsPlaceInDevicePixels)
{
    const Placement p = GetParam();
    CVideoSurface surface;
    surface.resize(p.surface);
    ASSERT_EQ(surface.devicePixelRatioF(), 2.0) << "run with QT_SCALE_FACTOR=2";
    // Red on its left half, green on its right.
    QImage image(p.picture.size(), QImage::Format_RGB32);
    image.fill(Qt::red);
    QPainter(&image).fillRect(image.rect().adjusted(image.width() / 2, 0, 0, 0), Qt::green);
    surface.SetPicture({image, p.aspect});

    const QImage shown = surface.grab().toImage();
    ASSERT_EQ(shown.size(), p.surface * 2);
    const int middle = p.picture.center().y();
    const auto at = [&](int x, int y) {
        return QColor(shown.pixel(x, y));
    };
    EXPECT_EQ(at(p.picture.left() + 1, middle), QColor(Qt::red));
    EXPECT_EQ(at(p.picture.center().x() - 2, p.picture.top() + 1), QColor(Qt::red));
    EXPECT_EQ(at(p.picture.center().x() + 2, p.picture.bottom() - 1), QColor(Qt::green));
    EXPECT_EQ(at(p.picture.right() - 1, middle), QColor(Qt::green));
    const QRect band = p.picture.top() > 0 ? QRect(0, 0, shown.width(), p.picture.top())
                                           : QRect(0, 0, p.picture.left(), shown.height());
    EXPECT_EQ(at(band.center().x(), band.center().y()), QColor(Qt::black));
    EXPECT_EQ(at(shown.width() - 1 - band.center().x(), shown.height() - 1 - band.center().y()),
              QColor(Qt::black));
}

INSTANTIATE_TEST_SUITE_P(
    Places, Density,
    ::testing::Values(Placement{"Letterboxed", {400, 325}, 16.0 / 9, {0, 100, 800, 450}},
                      Placement{"Pillarboxed", {400, 300}, 1.0, {100, 0, 600, 600}}),
    ByName());

} // namespace
