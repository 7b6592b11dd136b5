#pragma once

#include "ButtonLook.h"
#include "Picture.h"

#include <QPushButton>
#include <QTimer>

// A push button drawn from pictures: normal, hover, pressed and disabled. It follows the mouse to
// know which one to show and can draw a caption over the picture in a colour that depends on the
// state. Without a normal picture it draws the platform's push-button face with centred text.
// Clicks reach the parent through QPushButton's own signals.
//
// "Disabled" here is the button's own look-and-swallow state (SetDisabled); the widget itself
// stays enabled, so it keeps receiving mouse moves.
class CImageButton : public QPushButton
{
    Q_OBJECT

public:
    explicit CImageButton(QWidget* parent = nullptr);
    ~CImageButton() override;

    // Loads the pictures in order and stops at the first that fails, leaving that slot empty and
    // the later ones untouched. A null path leaves its slot as it was. True when all loaded.
    //
    // Each picture's file and header are checked here (CPicture::LoadFromPathInBackground), so
    // sizes and the result are known on return; the remaining checks and the decoding run on
    // CPicture's decode pool, normal pictures first, and the button repaints as each arrives.
    // Until then a picture's slot counts as loaded and draws nothing (a hover, pressed or
    // disabled picture lets the normal one stand in). A picture that fails there empties its
    // slot, as a failed load does; without a normal picture the button draws its plain face.
    bool SetImages(const QString& normal, const QString& hover = QString(),
                   const QString& pressed = QString(), const QString& disabled = QString());
    // True while any of the button's pictures is still decoding.
    bool IsDecoding() const;
    // Takes the normal picture's pixel size, keeping the position; without one, keeps its size.
    void SizeToImage();

    // Lights up or goes dark by where the mouse is now, for when what lies under it changed
    // without a move (a window above the button closed).
    void UpdateHover();

    void SetDisabled(bool disabled);
    void SetCaption(QString caption);
    void SetCaptionColor(COLORREF colour);
    void SetCaptionFormat(quint32 format);
    void SetCaptionFont(QString face, int height, int width, int weight);

    ButtonState State() const;

signals:
    // The button lights up as the mouse comes to rest on it, and goes dark as it leaves.
    void HoverChanged(bool hover);

public:
    ButtonPicture ShownPicture() const { return ChoosePicture(State()); }
    QColor CaptionColor() const;

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void OnMouseHover();
    void OnMouseLeave();
    void DrawItem(QPainter& painter);
    void DrawCaption(QPainter& painter, QRect rect);
    const CPicture& Picture(ButtonPicture which) const;

    CPicture m_picNormal;
    CPicture m_picHover;
    CPicture m_picPressed;
    CPicture m_picDisabled;
    bool m_bHover = false;
    bool m_bTracking = false;
    bool m_bPressed = false;
    bool m_bDisabled = false;
    QString m_strCaption;
    COLORREF m_crNormal = 0;
    COLORREF m_crHover = 0;
    COLORREF m_crPressed = 0;
    COLORREF m_crDisabled = 0;
    quint32 m_nFormat = DT_CENTER | DT_VCENTER;
    QString m_strFontFace = QStringLiteral("宋体");
    int m_nFontHeight = 12;
    int m_nFontWidth = 6;
    int m_nFontWeight = 400;

    // Hover is reported once per visit, after the mouse has rested for a millisecond; every
    // move while the report is pending starts the rest again.
    QTimer m_hoverTimer;
};
