#include "ImageButton.h"

#include <QCursor>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionButton>
#include <algorithm>
#include <cstdlib>

CImageButton::CImageButton(QWidget* parent) : QPushButton(parent)
{
    setMouseTracking(true);
    m_hoverTimer.setSingleShot(true);
    m_hoverTimer.setInterval(1);
    connect(&m_hoverTimer, &QTimer::timeout, this, &CImageButton::OnMouseHover);
}

CImageButton::~CImageButton()
{
    m_picNormal.Clear();
    m_picHover.Clear();
    m_picPressed.Clear();
    m_picDisabled.Clear();
}

bool CImageButton::SetImages(const QString& normal, const QString& hover, const QString& pressed,
                             const QString& disabled)
{
    // The normal picture is what the window shows first; the others wait for a mouse.
    constexpr int kNormalFirst = 1;
    const auto repaint = [this] {
        update();
    };
    bool ok = m_picNormal.LoadFromPathInBackground(normal, kNormalFirst, repaint);
    for (auto [path, picture] : {std::pair{&hover, &m_picHover}, std::pair{&pressed, &m_picPressed},
                                 std::pair{&disabled, &m_picDisabled}}) {
        if (!ok)
            break;
        if (path->isNull())
            continue;
        ok = picture->LoadFromPathInBackground(*path, 0, repaint);
    }
    update();
    return ok;
}

bool CImageButton::IsDecoding() const
{
    return m_picNormal.IsDecoding() || m_picHover.IsDecoding() || m_picPressed.IsDecoding() ||
           m_picDisabled.IsDecoding();
}

void CImageButton::SizeToImage()
{
    const QSize size = m_picNormal.GetPixelSize();
    if (size.width() != 0 || size.height() != 0)
        resize(size);
}

void CImageButton::SetDisabled(bool disabled)
{
    m_bDisabled = disabled;
    if (!disabled) {
        m_bTracking = false;
        m_bPressed = false;
        m_bHover = false;
    }
    update();
}

void CImageButton::SetCaption(QString caption)
{
    m_strCaption = std::move(caption);
    update();
}

void CImageButton::SetCaptionColor(COLORREF colour)
{
    m_crNormal = colour;
    update();
}

void CImageButton::SetCaptionFormat(quint32 format)
{
    m_nFormat = format;
    update();
}

void CImageButton::SetCaptionFont(QString face, int height, int width, int weight)
{
    m_strFontFace = std::move(face);
    m_nFontHeight = height;
    m_nFontWidth = width;
    m_nFontWeight = weight;
    update();
}

ButtonState CImageButton::State() const
{
    return {m_picNormal.IsLoaded(),
            m_picHover.IsLoaded(),
            m_picPressed.IsLoaded(),
            m_picDisabled.IsLoaded(),
            m_bHover,
            m_bPressed,
            m_bDisabled};
}

QColor CImageButton::CaptionColor() const
{
    switch (ChooseCaptionColour(State())) {
    case CaptionColour::Disabled:
        return ColorFromColorref(m_crDisabled);
    case CaptionColour::Pressed:
        return ColorFromColorref(m_crPressed);
    case CaptionColour::Hover:
        return ColorFromColorref(m_crHover);
    case CaptionColour::Normal:
        break;
    }
    return ColorFromColorref(m_crNormal);
}

void CImageButton::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_bDisabled && !m_bTracking) {
        m_bTracking = true;
        m_hoverTimer.start();
    } else if (m_hoverTimer.isActive()) {
        m_hoverTimer.start();
    }
    QPushButton::mouseMoveEvent(event);
}

void CImageButton::UpdateHover()
{
    const bool under = isVisible() && rect().contains(mapFromGlobal(QCursor::pos()));
    if (under && !m_bHover) {
        m_bTracking = true;
        m_hoverTimer.start();
    } else if (!under && (m_bHover || m_bTracking)) {
        m_hoverTimer.stop();
        OnMouseLeave();
    }
}

void CImageButton::OnMouseHover()
{
    if (m_bDisabled)
        return;
    m_bHover = true;
    update();
    emit HoverChanged(true);
}

void CImageButton::leaveEvent(QEvent* event)
{
    m_hoverTimer.stop();
    OnMouseLeave();
    QPushButton::leaveEvent(event);
}

void CImageButton::OnMouseLeave()
{
    if (m_bDisabled)
        return;
    const bool was = m_bHover;
    m_bHover = false;
    m_bTracking = false;
    update();
    if (was)
        emit HoverChanged(false);
}

void CImageButton::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        if (m_bDisabled) {
            event->accept(); // swallowed: no pushed look, no click
            return;
        }
        m_bPressed = true;
    }
    QPushButton::mousePressEvent(event);
}

void CImageButton::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        if (m_bDisabled) {
            event->accept();
            return;
        }
        m_bPressed = false;
    }
    QPushButton::mouseReleaseEvent(event);
}

void CImageButton::mouseDoubleClickEvent(QMouseEvent* event)
{
    // A double click pushes the button like a press, but only single presses drive the pressed
    // picture. QWidget would route it through our mousePressEvent, so go to the base directly.
    if (event->button() == Qt::LeftButton && m_bDisabled) {
        event->accept();
        return;
    }
    QPushButton::mousePressEvent(event);
}

void CImageButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    DrawItem(painter);
}

const CPicture& CImageButton::Picture(ButtonPicture which) const
{
    switch (which) {
    case ButtonPicture::Disabled:
        return m_picDisabled;
    case ButtonPicture::Pressed:
        return m_picPressed;
    case ButtonPicture::Hover:
        return m_picHover;
    case ButtonPicture::Normal:
    case ButtonPicture::Fallback:
        break;
    }
    return m_picNormal;
}

void CImageButton::DrawItem(QPainter& painter)
{
    const ButtonPicture which = ShownPicture();
    if (which == ButtonPicture::Fallback) {
        QStyleOptionButton option;
        initStyleOption(&option);
        option.text.clear();
        option.icon = QIcon();
        style()->drawControl(QStyle::CE_PushButtonBevel, &option, &painter, this);
        const QString text = m_strCaption.isEmpty() ? this->text() : m_strCaption;
        painter.setPen(palette().color(QPalette::ButtonText));
        painter.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine, text);
        return;
    }
    // A hover, pressed or disabled picture still decoding is stood in for by the normal one.
    const CPicture& picture = Picture(which).IsDecoding() ? m_picNormal : Picture(which);
    picture.Draw(&painter, rect());
    DrawCaption(painter, rect());
}

void CImageButton::DrawCaption(QPainter& painter, QRect rect)
{
    if (m_strCaption.isEmpty())
        return;
    QFont font(m_strFontFace);
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(std::max(1, std::abs(m_nFontHeight)));
    font.setWeight(QFont::Weight(std::clamp(m_nFontWeight, 1, 1000)));
    // A font's natural average width is about half its height; the requested width stretches it.
    if (m_nFontWidth > 0 && m_nFontHeight != 0)
        font.setStretch(std::clamp(m_nFontWidth * 200 / std::abs(m_nFontHeight), 1, 4000));
    painter.save();
    painter.setFont(font);
    painter.setPen(CaptionColor());
    painter.drawText(rect, TextFlagsFromFormat(m_nFormat), m_strCaption);
    painter.restore();
}
