#include "PlayerDlg.h"

#include "Verbose.h"
#include "WindowFrame.h"
#include "ui_PlayerDlg.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QStyleHints>
#include <QWheelEvent>
#include <QWindow>
#include <algorithm>
#include <cmath>

namespace {

const QString kToStorage = QStringLiteral("组播无信号，已改用存储服务器");
const QString kBackToGroup = QStringLiteral("已恢复组播");

} // namespace

CPlayerDlg::CPlayerDlg(QWidget* parent)
    : CDarkDialog(parent), m_ui(std::make_unique<Ui::CPlayerDlg>()),
      m_playback(std::make_unique<CChannelPlayback>()),
      m_fallback(std::make_unique<CChannelFallback>())
{
    m_ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    resize(kSize);
    // Window managers on X11 offer maximize only to a window they may resize. It may be resized,
    // then, but only in steps larger than any screen from its one size: a drag on its frame
    // leaves it as it is, while maximize and full screen, which are not sized in steps, fill
    // the screen.
    setBaseSize(kSize);
    setSizeIncrement(kUnsizableStep, kUnsizableStep);
    m_ui->video->installEventFilter(this);

    ConnectPlayback();
    connect(m_fallback.get(), &CChannelFallback::UseStorage, this, &CPlayerDlg::OnUseStorage);
    connect(m_fallback.get(), &CChannelFallback::ReturnReady, this, &CPlayerDlg::OnReturnReady);

    m_connecting.setSingleShot(true);
    m_connecting.setInterval(kConnectingAfter);
    connect(&m_connecting, &QTimer::timeout, this, &CPlayerDlg::ShowStatus);
    m_countdown.setInterval(std::chrono::milliseconds(200));
    connect(&m_countdown, &QTimer::timeout, this, &CPlayerDlg::ShowStatus);
    m_panel.setInterval(kPanelEvery);
    connect(&m_panel, &QTimer::timeout, this, &CPlayerDlg::UpdatePanel);
    m_pointer.setSingleShot(true);
    m_pointer.setInterval(kHidePointerAfter);
    connect(&m_pointer, &QTimer::timeout, this,
            [this] { m_ui->video->setCursor(Qt::BlankCursor); });
}

CPlayerDlg::~CPlayerDlg()
{
    OnDestroy();
}

void CPlayerDlg::ConnectPlayback()
{
    CChannelPlayback* playback = m_playback.get();
    connect(playback, &CChannelPlayback::PictureChanged, this,
            [this] { m_ui->video->SetPicture(m_playback->Picture()); });
    connect(playback, &CChannelPlayback::PicturesStarted, this, &CPlayerDlg::ShowStatus);
    connect(playback, &CChannelPlayback::Lost, this, [this] {
        m_ui->video->ClearPicture();
        m_countdown.start();
        ShowStatus();
    });
    connect(playback, &CChannelPlayback::Reopening, this, [this] {
        m_countdown.stop();
        m_connecting.stop();
        ShowStatus();
    });
    UpdatePictureArea();
}

void CPlayerDlg::UpdatePictureArea()
{
    UpdatePictureArea(*m_playback);
    if (auto back = m_fallback ? m_fallback->Returning() : nullptr)
        UpdatePictureArea(*back);
}

void CPlayerDlg::UpdatePictureArea(CChannelPlayback& playback) const
{
    // In device pixels: the pictures are made at the size they are painted.
    const qreal ratio = m_ui->video->devicePixelRatioF();
    const QScreen* screen = this->screen();
    playback.SetPictureArea((QSizeF(m_ui->video->size()) * ratio).toSize(),
                            screen != nullptr ? (QSizeF(screen->size()) * ratio).toSize()
                                              : QSize());
}

void CPlayerDlg::AdoptPlayback(std::unique_ptr<CChannelPlayback> playback)
{
    if (!playback)
        return;
    m_playback = std::move(playback);
    m_playback->setParent(nullptr);
    ConnectPlayback();
    m_playback->SetAudio(m_volume, m_muted);
}

void CPlayerDlg::SetChannel(int channel, ChannelLookup lookup)
{
    m_channel = channel;
    m_lookup = std::move(lookup);
}

void CPlayerDlg::SetMulticast(MulticastSupport support)
{
    m_multicast = std::move(support);
    m_fallback->SetServers(m_multicast.servers);
    m_fallback->SetTiming(m_multicast.timing);
    m_fallback->SetPlaybackFactory([this]() -> std::unique_ptr<CChannelPlayback> {
        if (!m_multicast.newPlayback)
            return nullptr;
        std::unique_ptr<CChannelPlayback> playback = m_multicast.newPlayback();
        // Unheard until it is shown, and made for the window's size from its first picture.
        playback->SetAudio(m_volume, true);
        UpdatePictureArea(*playback);
        return playback;
    });
}

void CPlayerDlg::SetAudio(int volume, bool muted)
{
    m_volume = std::clamp(volume, 0, 100);
    m_muted = muted;
    m_playback->SetAudio(m_volume, m_muted);
}

int CPlayerDlg::DoModal()
{
    OnInitDialog();
    // The native window does not take the steps from the widget when it is made: make it, and
    // give them to it (X11's window managers are the ones that read them).
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        winId();
        windowHandle()->setBaseSize(kSize);
        windowHandle()->setSizeIncrement(QSize(kUnsizableStep, kUnsizableStep));
    }
    frame::SetOffers(this, frame::kMove | frame::kResize | frame::kMinimize | frame::kMaximize |
                               frame::kClose | frame::kSystemMenu);
    frame::CentreOnWorkArea(this, parentWidget());
    return exec();
}

bool CPlayerDlg::OnInitDialog()
{
    UpdateTitle();
    Play();
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
    m_fallback->Stop();
    m_tap.reset();
    m_panel.stop();
    m_connecting.stop();
    m_countdown.stop();
    m_pointer.stop();
    m_playback->Close();
}

void CPlayerDlg::UpdateTitle()
{
    // The address that plays: the storage server's while the channel's group is silent.
    const QString storage = m_fallback->StorageAddress();
    QString title =
        m_strCaption + QStringLiteral(" - ") + (storage.isEmpty() ? m_strAddress : storage);
    if (title.size() > kLongestTitle) {
        title.truncate(kLongestTitle - 1);
        if (title.back().isHighSurrogate())
            title.chop(1);
        title += QChar(0x2026);
    }
    setWindowTitle(title);
}

void CPlayerDlg::Play()
{
    m_ui->video->ClearPicture();
    if (m_channel > 0 || !m_strCaption.isEmpty())
        m_ui->video->ShowChannel(m_strCaption.isEmpty() ? QStringLiteral("频道 %1").arg(m_channel)
                                                        : m_strCaption);
    m_countdown.stop();
    m_connecting.start();
    // A playback prepared before the window opened already plays; it has its newest picture,
    // or it lost its stream before any window heard it and waits to reopen.
    if (m_playback->Address() == m_strAddress && m_playback->IsOpen()) {
        m_ui->video->SetPicture(m_playback->Picture());
        if (m_playback->PendingReopen())
            m_countdown.start();
    } else {
        m_playback->Open(m_strAddress);
    }
    ShowStatus();
    if (!m_strNote.isEmpty())
        Say(m_strNote);

    // A multicast channel's group is watched beside the player while it plays.
    m_tap.reset();
    if (m_multicast.fallback || m_panel.isActive())
        TapGroup();
    m_fallback->Follow(m_channel, m_multicast.fallback ? m_tap : nullptr);
    m_behindLive.Reset();
    if (m_panel.isActive())
        UpdatePanel();
}

void CPlayerDlg::TapGroup()
{
    if (!m_tap && m_multicast.tap && m_channel > 0 &&
        m_strAddress == locator::MulticastAddress(m_channel))
        m_tap = m_multicast.tap(m_channel);
}

void CPlayerDlg::TogglePanel()
{
    if (m_panel.isActive()) {
        m_panel.stop();
        m_ui->video->SetPanel({});
        return;
    }
    TapGroup(); // for how far behind live the picture is
    m_panel.start();
    UpdatePanel();
}

void CPlayerDlg::UpdatePanel()
{
    PanelFigures figures;
    figures.playback = m_playback->CurrentFigures();
    figures.pendingReopen = m_playback->PendingReopen();
    figures.untilReopen = m_playback->UntilReopen();
    figures.backoff = m_playback->Backoff();
    figures.fallback = m_fallback->CurrentState();
    figures.untilRetry = m_fallback->UntilRetry();
    // The group's receiver knows the newest picture that came; a storage stream has none.
    if (m_tap && figures.playback.address == m_strAddress)
        m_behindLive.Note(figures.playback, m_tap->NewestTimestamp());
    else
        m_behindLive.Reset();
    figures.behindLive = m_behindLive.Mean();
    m_ui->video->SetPanel(PanelLines(figures));
}

void CPlayerDlg::Say(const QString& text)
{
    Trace(QStringLiteral("on the picture: %1").arg(text));
    m_ui->video->ShowMessage(text, kMessageTime);
}

void CPlayerDlg::OnUseStorage(const QString& address)
{
    m_playback->Open(address);
    UpdateTitle();
    m_countdown.stop();
    m_connecting.start();
    ShowStatus();
    Say(kToStorage);
}

void CPlayerDlg::OnReturnReady()
{
    std::unique_ptr<CChannelPlayback> back = m_fallback->TakeReturn();
    if (!back)
        return;
    AdoptPlayback(std::move(back)); // the storage stream's player is let go
    m_behindLive.Reset();
    m_ui->video->SetPicture(m_playback->Picture());
    UpdateTitle();
    m_countdown.stop();
    ShowStatus();
    Say(kBackToGroup);
}

void CPlayerDlg::ShowStatus()
{
    QString status;
    if (m_playback->HasPicture()) {
        m_countdown.stop();
    } else if (m_playback->PendingReopen()) {
        const auto left = m_playback->UntilReopen().count();
        status = QStringLiteral("信号中断，%1 秒后重新连接")
                     .arg(std::max<qint64>(1, (left + 999) / 1000));
    } else if (!m_connecting.isActive()) {
        status = QStringLiteral("正在连接…");
    }
    m_ui->video->SetStatus(status);
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
    m_strNote = found->note;
    m_fallback->Stop();
    UpdateTitle();
    Play();
}

void CPlayerDlg::ToggleFullScreen()
{
    // Not showNormal() and showFullScreen(): they drop the maximized state, and a window
    // maximized before full screen would come back at its normal size.
    setWindowState(windowState() ^ Qt::WindowFullScreen);
}

void CPlayerDlg::ChangeVolume(int delta)
{
    m_volume = std::clamp(m_volume + delta, 0, 100);
    m_muted = false;
    m_playback->SetAudio(m_volume, m_muted);
    m_ui->video->ShowNotice(QStringLiteral("音量 %1%").arg(m_volume));
}

void CPlayerDlg::ToggleMute()
{
    m_muted = !m_muted;
    m_playback->SetAudio(m_volume, m_muted);
    m_ui->video->ShowNotice(m_muted ? QStringLiteral("静音")
                                    : QStringLiteral("音量 %1%").arg(m_volume));
}

void CPlayerDlg::ShowPointer()
{
    m_ui->video->unsetCursor();
    if (isFullScreen())
        m_pointer.start();
    else
        m_pointer.stop();
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
            ToggleFullScreen();
        else
            reject();
        return;
    case Qt::Key_F11:
        ToggleFullScreen();
        return;
    case Qt::Key_M:
        ToggleMute();
        return;
    case Qt::Key_I:
        TogglePanel();
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

void CPlayerDlg::NotePress(const QMouseEvent* event)
{
    m_previousPress = m_lastPress;
    m_lastPress = event->timestamp();
}

void CPlayerDlg::mousePressEvent(QMouseEvent* event)
{
    // A double click's second press comes as the double click itself.
    if (event->button() == Qt::LeftButton &&
        !event->flags().testFlag(Qt::MouseEventCreatedDoubleClick))
        NotePress(event);
    CDarkDialog::mousePressEvent(event);
}

void CPlayerDlg::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    NotePress(event);
    // The double click's first press may have been the click on a channel button that opened
    // this window: then it is only a first press here.
    const auto interval = quint64(QGuiApplication::styleHints()->mouseDoubleClickInterval());
    if (m_previousPress && *m_lastPress - *m_previousPress <= interval)
        ToggleFullScreen();
}

void CPlayerDlg::mouseMoveEvent(QMouseEvent* event)
{
    ShowPointer();
    CDarkDialog::mouseMoveEvent(event);
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
    if (watched == m_ui->video) {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
            mousePressEvent(static_cast<QMouseEvent*>(event));
            return true;
        case QEvent::MouseButtonDblClick:
            mouseDoubleClickEvent(static_cast<QMouseEvent*>(event));
            return true;
        case QEvent::MouseMove:
            ShowPointer();
            return false;
        case QEvent::Wheel:
            wheelEvent(static_cast<QWheelEvent*>(event));
            return true;
        case QEvent::Resize:
            UpdatePictureArea();
            return false;
        default:
            break;
        }
    }
    return CDarkDialog::eventFilter(watched, event);
}

void CPlayerDlg::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::WindowStateChange)
        ShowPointer();
    CDarkDialog::changeEvent(event);
}
