#pragma once

#include "VideoFrames.h"

#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

// Where a channel's pictures are painted, with the program's texts over them: the channel's
// name in the top left, a status in the middle, a notice (the volume) in the top right, a
// message (a change of source) along the bottom, and on request a panel of figures on the left.
// Without a picture it shows the windows' dark grey; with one, the picture fills the middle
// with black bands around it, as a video output draws them. Pictures come made at the size
// they are shown and are painted as they are; only for the moment between a resize and the next
// picture is one scaled.
class CVideoSurface : public QWidget
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kChannelTime{2000};
    static constexpr std::chrono::milliseconds kNoticeTime{1500};

    explicit CVideoSurface(QWidget* parent = nullptr);

    void SetPicture(const VideoFrames::Picture& picture);
    void ClearPicture();
    bool HasPicture() const { return !m_picture.isNull(); }

    // Shown for a while, then gone.
    void ShowChannel(const QString& text);
    void ShowNotice(const QString& text);
    void ShowMessage(const QString& text, std::chrono::milliseconds duration);
    // Shown until replaced; empty hides it.
    void SetStatus(const QString& text);
    // Lines shown until replaced; none hides it.
    void SetPanel(const QStringList& lines);

    QString ChannelText() const { return m_channelTimer.isActive() ? m_channel : QString(); }
    QString NoticeText() const { return m_noticeTimer.isActive() ? m_notice : QString(); }
    QString StatusText() const { return m_status; }
    QString MessageText() const { return m_messageTimer.isActive() ? m_message : QString(); }
    const QStringList& PanelLines() const { return m_panel; }
    // Where the picture lands, in this widget's coordinates; empty without a picture.
    QRect PictureRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // Where the picture lands, exactly (PictureRect rounds it outwards): it is made in device
    // pixels, whose edges need not fall on logical ones at a fractional ratio.
    QRectF PictureArea() const;
    void DrawText(QPainter& painter, const QString& text, Qt::Alignment where, int pointSize);
    static void DrawPlate(QPainter& painter, const QRect& box, int alpha);
    void DrawPanel(QPainter& painter);

    VideoFrames::Picture m_picture;
    QString m_channel;
    QString m_notice;
    QString m_status;
    QString m_message;
    QStringList m_panel;
    QTimer m_channelTimer;
    QTimer m_noticeTimer;
    QTimer m_messageTimer;
};
