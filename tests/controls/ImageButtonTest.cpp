#include "ImageButton.h"

#include "BlockedPool.h"

#include <QApplication>
#include <QPainter>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace {

class ImageButtonTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_window.resize(400, 300);
        m_button = new CImageButton(&m_window);
        m_button->setGeometry(20, 30, 100, 100);
        m_window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_window));
    }

    QString picture(const char* name, QColor colour, QSize size = {180, 180})
    {
        QImage image(size, QImage::Format_RGB32);
        image.fill(colour);
        const QString path = m_dir.filePath(QString::fromLatin1(name));
        EXPECT_TRUE(image.save(path, "JPG"));
        return path;
    }

    void loadAll()
    {
        ASSERT_TRUE(m_button->SetImages(picture("n.jpg", Qt::red), picture("h.jpg", Qt::green),
                                        picture("p.jpg", Qt::blue), picture("d.jpg", Qt::gray)));
        ASSERT_TRUE(ProcessEventsUntil([&] { return !m_button->IsDecoding(); }, 10000));
    }

    // Moves the mouse onto the button and waits until the hover report has arrived.
    void hoverOver()
    {
        // Start from outside: a move to where the mouse already is is no move at all.
        QTest::mouseMove(&m_window, QPoint(300, 250));
        QTest::mouseMove(m_button, QPoint(50, 50));
        ASSERT_TRUE(ProcessEventsUntil([&] { return m_button->State().hover; }, 2000));
    }

    // Whether the middle of the button shows `colour`.
    bool shows(QColor colour)
    {
        QImage image(m_button->size(), QImage::Format_RGB32);
        image.fill(Qt::black);
        m_button->render(&image);
        const QRgb shown = image.pixel(image.width() / 2, image.height() / 2);
        return std::abs(qRed(shown) - colour.red()) < 60 &&
               std::abs(qGreen(shown) - colour.green()) < 60 &&
               std::abs(qBlue(shown) - colour.blue()) < 60;
    }

    QTemporaryDir m_dir;
    QWidget m_window;
    CImageButton* m_button = nullptr;
};

// The hover report waits for the mouse to rest, then comes within a tenth of a second, on every
// visit; leaving reports at once. A left press shows the pressed picture, its release clicks.
TEST_F(ImageButtonTest, LightsUpOnEveryVisitAndALeftPressShowsPressedAndClicks)
{
    loadAll();
    QList<bool> reports;
    QObject::connect(m_button, &CImageButton::HoverChanged,
                     [&](bool hover) { reports.append(hover); });
    for (int visit = 1; visit <= 5; ++visit) {
        QTest::mouseMove(&m_window, QPoint(300, 250));
        QTest::mouseMove(m_button, QPoint(40 + visit, 50));
        if (visit == 1) {
            EXPECT_FALSE(m_button->State().hover) << "not on the move itself";
        }
        EXPECT_TRUE(ProcessEventsUntil([&] { return m_button->State().hover; }, 100))
            << "visit " << visit;
        EXPECT_EQ(m_button->ShownPicture(), ButtonPicture::Hover) << "visit " << visit;
        QTest::mouseMove(&m_window, QPoint(300, 250));
        EXPECT_TRUE(ProcessEventsUntil([&] { return !m_button->State().hover; }, 100))
            << "visit " << visit;
        EXPECT_EQ(m_button->ShownPicture(), ButtonPicture::Normal) << "visit " << visit;
    }
    EXPECT_EQ(reports,
              (QList<bool>{true, false, true, false, true, false, true, false, true, false}));
    hoverOver();
    EXPECT_TRUE(shows(Qt::green)) << "the hover picture";

    // Only single presses of the left button drive the pressed picture; a double click pushes
    // the button, as a press would, without it.
    QSignalSpy clicked(m_button, &QPushButton::clicked);
    QTest::mousePress(m_button, Qt::RightButton, {}, QPoint(50, 50));
    EXPECT_FALSE(m_button->State().pressed);
    QTest::mouseRelease(m_button, Qt::RightButton, {}, QPoint(50, 50));
    QTest::mousePress(m_button, Qt::LeftButton, {}, QPoint(50, 50));
    EXPECT_EQ(m_button->ShownPicture(), ButtonPicture::Pressed);
    EXPECT_TRUE(m_button->isDown());
    QTest::mouseRelease(m_button, Qt::LeftButton, {}, QPoint(50, 50));
    EXPECT_EQ(m_button->ShownPicture(), ButtonPicture::Hover);
    EXPECT_EQ(clicked.count(), 1);

    QMouseEvent doubleClick(QEvent::MouseButtonDblClick, QPointF(50, 50),
                            m_button->mapToGlobal(QPointF(50, 50)), Qt::LeftButton, Qt::LeftButton,
                            Qt::NoModifier);
    QApplication::sendEvent(m_button, &doubleClick);
    EXPECT_FALSE(m_button->State().pressed);
    EXPECT_TRUE(m_button->isDown());
    QTest::mouseRelease(m_button, Qt::LeftButton, {}, QPoint(50, 50));
}

TEST_F(ImageButtonTest, DisabledSwallowsClicksTakesItsCaptionColourAndReEnablingClearsTheState)
{
    loadAll();
    QSignalSpy clicked(m_button, &QPushButton::clicked);
    m_button->SetCaption(QStringLiteral("一"));
    m_button->SetCaptionColor(0x0000FF);
    EXPECT_EQ(m_button->CaptionColor(), QColor(Qt::red));
    hoverOver();
    m_button->SetDisabled(true);
    EXPECT_EQ(m_button->ShownPicture(), ButtonPicture::Disabled);
    EXPECT_EQ(m_button->CaptionColor(), QColor(Qt::black));
    EXPECT_TRUE(m_button->isEnabled()) << "the widget itself stays enabled";

    QTest::mouseClick(m_button, Qt::LeftButton, {}, QPoint(50, 50));
    EXPECT_EQ(clicked.count(), 0);
    EXPECT_FALSE(m_button->isDown());
    EXPECT_FALSE(m_button->State().pressed);

    // Leaving while disabled is not noticed: the flags stay as they were.
    QTest::mouseMove(&m_window, QPoint(300, 250));
    QTest::qWait(20);
    EXPECT_TRUE(m_button->State().hover);

    m_button->SetDisabled(false);
    EXPECT_FALSE(m_button->State().hover);
    EXPECT_FALSE(m_button->State().pressed);
    EXPECT_EQ(m_button->ShownPicture(), ButtonPicture::Normal);
    QTest::mouseClick(m_button, Qt::LeftButton, {}, QPoint(50, 50));
    EXPECT_EQ(clicked.count(), 1);
}

TEST_F(ImageButtonTest, SetImagesStopsAtTheFirstFailureAndKeepsSlotsGivenNoPath)
{
    loadAll();
    const QString normal = picture("n2.jpg", Qt::yellow);
    // A null path keeps what the slot held.
    EXPECT_TRUE(m_button->SetImages(normal));
    EXPECT_TRUE(m_button->State().hasHover);
    EXPECT_TRUE(m_button->State().hasPressed);
    EXPECT_TRUE(m_button->State().hasDisabled);

    // A failing hover empties the hover slot and leaves pressed and disabled untouched.
    EXPECT_FALSE(m_button->SetImages(normal, m_dir.filePath(QStringLiteral("missing.jpg")),
                                     m_dir.filePath(QStringLiteral("missing-too.jpg"))));
    EXPECT_FALSE(m_button->State().hasHover);
    EXPECT_TRUE(m_button->State().hasPressed);

    // A failing normal picture stops everything: the fallback face is drawn.
    EXPECT_FALSE(m_button->SetImages(m_dir.filePath(QStringLiteral("missing.jpg")),
                                     picture("h2.jpg", Qt::green)));
    EXPECT_FALSE(m_button->State().hasHover);
    EXPECT_EQ(m_button->ShownPicture(), ButtonPicture::Fallback);
}

// Sizes and the result are known at once; nothing is drawn until the normal picture arrives, and
// a hover picture still decoding lets the normal one stand in.
TEST_F(ImageButtonTest, SizeIsKnownAtOnceAndEachPictureShowsAsItArrives)
{
    const QString normal = picture("n.jpg", Qt::red, {240, 90});
    const QString hover = picture("h.jpg", Qt::green, {240, 90});
    m_button->SizeToImage();
    EXPECT_EQ(m_button->geometry(), QRect(20, 30, 100, 100)) << "no picture, no change";
    BlockedPool pool;
    ASSERT_TRUE(m_button->SetImages(normal, hover));
    m_button->SizeToImage();
    EXPECT_EQ(m_button->geometry(), QRect(20, 30, 240, 90));
    EXPECT_TRUE(m_button->IsDecoding());
    EXPECT_EQ(m_button->ShownPicture(), ButtonPicture::Normal);
    EXPECT_TRUE(shows(m_window.palette().color(QPalette::Window)))
        << "nothing is drawn before the picture arrives";
    // Queued now: the normal picture (it goes first), then this blocker, then the hover picture.
    // The one thread let go decodes the normal picture and then blocks again.
    pool.queueBlocker(1);
    pool.releaseOne();
    ASSERT_TRUE(ProcessEventsUntil([&] { return shows(Qt::red); }, 10000));
    hoverOver();
    EXPECT_EQ(m_button->ShownPicture(), ButtonPicture::Hover);
    EXPECT_TRUE(m_button->IsDecoding()) << "the hover picture is still queued";
    EXPECT_TRUE(shows(Qt::red)) << "the normal picture stands in";
    pool.release();
    ASSERT_TRUE(ProcessEventsUntil([&] { return !m_button->IsDecoding(); }, 10000));
    EXPECT_TRUE(shows(Qt::green));
}

} // namespace
