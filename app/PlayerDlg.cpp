#include "PlayerDlg.h"

#include "ui_PlayerDlg.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>
#include <algorithm>
#include <vlc/vlc.h>

namespace {

constexpr std::chrono::seconds kLongestBackoff{30};

// libvlc reports on its own threads; the window acts on the report on its own thread. Detaching
// waits for a report in flight, so the window is never reached after it has let go.
void OnPlayerStopped(const libvlc_event_t*, void* window)
{
    QMetaObject::invokeMethod(static_cast<CPlayerDlg*>(window), "ReopenLater",
                              Qt::QueuedConnection);
}

constexpr libvlc_event_e kStopEvents[] = {libvlc_MediaPlayerEndReached,
                                          libvlc_MediaPlayerEncounteredError};

} // namespace

std::chrono::seconds NextBackoff(std::chrono::seconds previous)
{
    if (previous <= std::chrono::seconds(0))
        return std::chrono::seconds(1);
    return std::min(previous * 2, kLongestBackoff);
}

CPlayerDlg::CPlayerDlg(QWidget* parent)
    : CDarkDialog(parent), m_ui(std::make_unique<Ui::CPlayerDlg>())
{
    m_ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    // libvlc paints this window from its own threads; Qt must not paint over it.
    m_ui->video->setAttribute(Qt::WA_NativeWindow);
    m_ui->video->setAttribute(Qt::WA_DontCreateNativeAncestors);
    m_ui->video->setAttribute(Qt::WA_OpaquePaintEvent);
    m_ui->video->setAutoFillBackground(true);
    m_ui->video->installEventFilter(this);

    m_watchdog.setInterval(std::chrono::seconds(1));
    connect(&m_watchdog, &QTimer::timeout, this, &CPlayerDlg::WatchPictures);
    m_reopen.setSingleShot(true);
    connect(&m_reopen, &QTimer::timeout, this, &CPlayerDlg::Play);
}

CPlayerDlg::~CPlayerDlg()
{
    OnDestroy();
}

void CPlayerDlg::SetChannel(int channel, ChannelLookup lookup)
{
    m_channel = channel;
    m_lookup = std::move(lookup);
}

int CPlayerDlg::DoModal()
{
    OnInitDialog();
    return exec();
}

bool CPlayerDlg::OnInitDialog()
{
    UpdateTitle();
    m_player = CreateVlcPlayer(m_instance, m_strAddress, m_mediaOptions);
    if (!m_player)
        return true;
    BindToWindow(m_player.get(), m_ui->video);
    libvlc_event_manager_t* events = libvlc_media_player_event_manager(m_player.get());
    for (libvlc_event_e type : kStopEvents)
        libvlc_event_attach(events, type, OnPlayerStopped, this);
    ApplyAudio();
    libvlc_media_player_play(m_player.get());
    m_watchdog.start();
    return true;
}

void CPlayerDlg::accept() {}

void CPlayerDlg::done(int result)
{
    OnDestroy();
    CDarkDialog::done(result);
}

void CPlayerDlg::OnDestroy()
{
    m_watchdog.stop();
    m_reopen.stop();
    if (!m_player)
        return;
    libvlc_event_manager_t* events = libvlc_media_player_event_manager(m_player.get());
    for (libvlc_event_e type : kStopEvents)
        libvlc_event_detach(events, type, OnPlayerStopped, this);
    m_player.reset();
}

void CPlayerDlg::UpdateTitle()
{
    setWindowTitle(m_strCaption + QStringLiteral(" - ") + m_strAddress);
}

void CPlayerDlg::Play()
{
    if (!m_player)
        return;
    const VlcMedia media = CreateVlcMedia(m_instance, m_strAddress, m_mediaOptions);
    if (!media)
        return;
    libvlc_media_player_set_media(m_player.get(), media.get());
    libvlc_media_player_play(m_player.get());
    m_pictures = -1;
    m_secondsWithoutPicture = 0;
    m_watchdog.start();
}

void CPlayerDlg::SwitchToChannel(int channel)
{
    if (!m_lookup || channel < 1 || channel > kChannels)
        return;
    // A failure has been shown over this window; the current channel goes on playing.
    const std::optional<ChannelAddress> found = m_lookup(channel, this);
    if (!found)
        return;
    m_channel = channel;
    m_strAddress = found->address;
    m_strCaption = found->caption;
    UpdateTitle();
    m_reopen.stop();
    m_backoff = std::chrono::seconds(0);
    Play();
}

void CPlayerDlg::ReopenLater()
{
    if (!m_player || m_reopen.isActive())
        return;
    m_watchdog.stop();
    libvlc_media_player_stop(m_player.get());
    // libvlc's own window is gone; show the window's background, not its last picture.
    m_ui->video->update();
    m_backoff = NextBackoff(m_backoff);
    m_reopen.start(m_backoff);
}

std::optional<std::chrono::seconds> CPlayerDlg::PendingReopen() const
{
    if (!m_reopen.isActive())
        return std::nullopt;
    return m_backoff;
}

void CPlayerDlg::WatchPictures()
{
    if (!m_player)
        return;
    libvlc_media_t* media = libvlc_media_player_get_media(m_player.get());
    libvlc_media_stats_t stats{};
    const bool known = media != nullptr && libvlc_media_get_stats(media, &stats);
    if (media != nullptr)
        libvlc_media_release(media);
    // libvlc 3 counts decoded frames reliably; its count of displayed ones stays 0 with some
    // video outputs.
    const qint64 pictures = known ? std::max(stats.i_decoded_video, stats.i_displayed_pictures) : 0;
    if (pictures > m_pictures) {
        if (m_pictures >= 0)
            m_backoff = std::chrono::seconds(0); // pictures again: the next stop starts afresh
        m_pictures = pictures;
        m_secondsWithoutPicture = 0;
        return;
    }
    if (++m_secondsWithoutPicture >= kStallTime.count())
        ReopenLater();
}

void CPlayerDlg::ToggleFullScreen()
{
    if (isFullScreen())
        showNormal();
    else
        showFullScreen();
}

void CPlayerDlg::ChangeVolume(int delta)
{
    m_volume = std::clamp(m_volume + delta, 0, 100);
    m_muted = false;
    ApplyAudio();
    ShowOnScreen(QStringLiteral("音量 %1%").arg(m_volume));
}

void CPlayerDlg::ToggleMute()
{
    m_muted = !m_muted;
    ApplyAudio();
    ShowOnScreen(m_muted ? QStringLiteral("静音") : QStringLiteral("音量 %1%").arg(m_volume));
}

void CPlayerDlg::ApplyAudio()
{
    if (!m_player)
        return;
    // Both stay with the player and reach each audio output it opens.
    libvlc_audio_set_volume(m_player.get(), m_volume);
    libvlc_audio_set_mute(m_player.get(), m_muted ? 1 : 0);
}

void CPlayerDlg::ShowOnScreen(const QString& text)
{
    if (!m_player)
        return;
    libvlc_video_set_marquee_string(m_player.get(), libvlc_marquee_Text, text.toUtf8().constData());
    libvlc_video_set_marquee_int(m_player.get(), libvlc_marquee_Position, 6); // top right
    libvlc_video_set_marquee_int(m_player.get(), libvlc_marquee_Size, 28);
    libvlc_video_set_marquee_int(m_player.get(), libvlc_marquee_Timeout, 1500);
    libvlc_video_set_marquee_int(m_player.get(), libvlc_marquee_Enable, 1);
}

void CPlayerDlg::keyPressEvent(QKeyEvent* event)
{
    const int key = event->key();
    if (key >= Qt::Key_1 && key <= Qt::Key_8 && event->modifiers() == Qt::NoModifier) {
        SwitchToChannel(key - Qt::Key_0);
        return;
    }
    switch (key) {
    case Qt::Key_Escape:
        if (isFullScreen())
            showNormal();
        else
            reject();
        return;
    case Qt::Key_F11:
        ToggleFullScreen();
        return;
    case Qt::Key_M:
        ToggleMute();
        return;
    case Qt::Key_Up:
        ChangeVolume(kVolumeStep);
        return;
    case Qt::Key_Down:
        ChangeVolume(-kVolumeStep);
        return;
    case Qt::Key_PageUp:
        if (m_channel > 0)
            SwitchToChannel(m_channel == 1 ? kChannels : m_channel - 1);
        return;
    case Qt::Key_PageDown:
        if (m_channel > 0)
            SwitchToChannel(m_channel == kChannels ? 1 : m_channel + 1);
        return;
    default:
        CDarkDialog::keyPressEvent(event);
    }
}

void CPlayerDlg::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        ToggleFullScreen();
}

void CPlayerDlg::wheelEvent(QWheelEvent* event)
{
    const int notches = event->angleDelta().y() / QWheelEvent::DefaultDeltasPerStep;
    if (notches != 0)
        ChangeVolume(notches * kVolumeStep);
}

bool CPlayerDlg::eventFilter(QObject* watched, QEvent* event)
{
    // The video surface covers the whole window; its mouse input is the window's.
    if (watched == m_ui->video && event->type() == QEvent::MouseButtonDblClick) {
        mouseDoubleClickEvent(static_cast<QMouseEvent*>(event));
        return true;
    }
    if (watched == m_ui->video && event->type() == QEvent::Wheel) {
        wheelEvent(static_cast<QWheelEvent*>(event));
        return true;
    }
    return CDarkDialog::eventFilter(watched, event);
}
