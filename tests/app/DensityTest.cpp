// On a screen of two device pixels to each logical one (a desktop at 200 %), the picture, made
// at its device size, lands whole and exactly in its place, with black bands around it.
#include "TestNames.h"
#include "VideoSurface.h"

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
    QImage image(p.picture.size(), QImage::Format_RGB32); // red, its right half green
    image.fill(Qt::red);
    QPainter(&image).fillRect(image.rect().adjusted(image.width() / 2, 0, 0, 0), Qt::green);
    surface.SetPicture({image, p.aspect});

    const QImage shown = surface.grab().toImage();
    const auto at = [&](QPoint point) {
        return QColor(shown.pixel(point));
    };
    const QRect inside = p.picture.adjusted(1, 1, -1, -1);
    EXPECT_EQ(at(inside.topLeft()), QColor(Qt::red));
    EXPECT_EQ(at(inside.bottomLeft()), QColor(Qt::red));
    EXPECT_EQ(at(inside.topRight()), QColor(Qt::green));
    EXPECT_EQ(at(inside.bottomRight()), QColor(Qt::green));
    const QPoint band(p.picture.left() / 2, p.picture.top() / 2);
    EXPECT_EQ(at(band), QColor(Qt::black));
    EXPECT_EQ(at(QPoint(shown.width() - 1, shown.height() - 1) - band), QColor(Qt::black));
}

INSTANTIATE_TEST_SUITE_P(
    Places, Density,
    ::testing::Values(Placement{"Letterboxed", {400, 325}, 16.0 / 9, {0, 100, 800, 450}},
                      Placement{"Pillarboxed", {400, 300}, 1.0, {100, 0, 600, 600}}),
    ByName());

} // namespace
