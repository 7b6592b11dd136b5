#include "VideoSurface.h"

#include "AppLook.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRegion>
#include <cmath>

namespace {

constexpr int kMargin = 16;
constexpr int kPadding = 10;

} // namespace

CVideoSurface::CVideoSurface(QWidget* parent) : QWidget(parent)
{
    // Every pixel is painted here, every time.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    for (QTimer* timer : {&m_channelTimer, &m_noticeTimer, &m_messageTimer}) {
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, qOverload<>(&QWidget::update));
    }
}

void CVideoSurface::SetPicture(const VideoFrames::Picture& picture)
{
    const QRect before = PictureRect();
    m_picture = picture;
    const QRect after = PictureRect();
    // Only the picture changed, unless it moved: the bands and the texts outside it stand.
    if (before == after && !after.isEmpty())
        update(after);
    else
        update();
}

void CVideoSurface::ClearPicture()
{
    m_picture = {};
    update();
}

void CVideoSurface::ShowChannel(const QString& text)
{
    m_channel = text;
    m_channelTimer.start(kChannelTime);
    update();
}

void CVideoSurface::ShowNotice(const QString& text)
{
    m_notice = text;
    m_noticeTimer.start(kNoticeTime);
    update();
}

void CVideoSurface::ShowMessage(const QString& text, std::chrono::milliseconds duration)
{
    m_message = text;
    m_messageTimer.start(duration);
    update();
}

void CVideoSurface::SetPanel(const QStringList& lines)
{
    if (lines == m_panel)
        return;
    m_panel = lines;
    update();
}

void CVideoSurface::SetStatus(const QString& text)
{
    if (text == m_status)
        return;
    m_status = text;
    update();
}

QRect CVideoSurface::PictureRect() const
{
    return PictureArea().toAlignedRect();
}

QRectF CVideoSurface::PictureArea() const
{
    if (m_picture.isNull())
        return {};
    // Worked out in device pixels as the pictures are made, so that they match exactly.
    const qreal ratio = devicePixelRatioF();
    const QRect device = VideoFrames::FitInto(m_picture.aspect, (QSizeF(size()) * ratio).toSize());
    return {QPointF(device.topLeft()) / ratio, QSizeF(device.size()) / ratio};
}

void CVideoSurface::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    const QRectF area = PictureArea();
    if (area.isEmpty()) {
        painter.fillRect(event->rect(), CDarkDialog::kBackground);
    } else {
        for (const QRect& band : QRegion(event->rect()).subtracted(area.toAlignedRect()))
            painter.fillRect(band, Qt::black);
        // Always into its place: drawn at a point, an image of ratio 1 would take a logical
        // pixel for each of its own, twice the size at a ratio of 2.
        if (m_picture.image.size() != (area.size() * devicePixelRatioF()).toSize()) {
            // Resized since the picture was made: the next one comes at the new size.
            painter.setRenderHint(QPainter::SmoothPixmapTransform);
        }
        painter.drawImage(area, m_picture.image);
    }

    if (m_channelTimer.isActive())
        DrawText(painter, m_channel, Qt::AlignLeft | Qt::AlignTop, 20);
    if (m_noticeTimer.isActive())
        DrawText(painter, m_notice, Qt::AlignRight | Qt::AlignTop, 20);
    if (!m_status.isEmpty())
        DrawText(painter, m_status, Qt::AlignCenter, 18);
    if (m_messageTimer.isActive())
        DrawText(painter, m_message, Qt::AlignHCenter | Qt::AlignBottom, 18);
    if (!m_panel.isEmpty())
        DrawPanel(painter);
}

void CVideoSurface::DrawPanel(QPainter& painter)
{
    QFont font = painter.font();
    font.setPointSize(12);
    painter.setFont(font);
    const QString text = m_panel.join(u'\n');
    // Below the channel's name, which may show over it for a moment.
    const QRect area = rect().adjusted(kMargin, kMargin + 48, -kMargin, -kMargin);
    const QRect box = painter.fontMetrics()
                          .boundingRect(area, Qt::AlignLeft | Qt::AlignTop, text)
                          .adjusted(-kPadding, -kPadding / 2, kPadding, kPadding / 2);
    DrawPlate(painter, box, 170);
    painter.drawText(box.adjusted(kPadding, kPadding / 2, -kPadding, -kPadding / 2),
                     Qt::AlignLeft | Qt::AlignTop, text);
}

// Over any picture, text stays readable on a dark, half-transparent plate; the pen is left white.
void CVideoSurface::DrawPlate(QPainter& painter, const QRect& box, int alpha)
{
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath plate;
    plate.addRoundedRect(box, 6, 6);
    painter.fillPath(plate, QColor(0, 0, 0, alpha));
    painter.setPen(Qt::white);
}

void CVideoSurface::DrawText(QPainter& painter, const QString& text, Qt::Alignment where,
                             int pointSize)
{
    QFont font = painter.font();
    font.setPointSize(pointSize);
    painter.setFont(font);
    const QRect area = rect().adjusted(kMargin, kMargin, -kMargin, -kMargin);
    QRect box = painter.fontMetrics()
                    .boundingRect(area, int(where) | Qt::TextSingleLine, text)
                    .adjusted(-kPadding, -kPadding / 2, kPadding, kPadding / 2);
    DrawPlate(painter, box, 150);
    painter.drawText(box, Qt::AlignCenter | Qt::TextSingleLine, text);
}
