#pragma once

#include "AppLook.h"
#include "ChannelFallback.h"
#include "ChannelPlayback.h"
#include "InfoPanel.h"

#include <QString>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace Ui {
class CPlayerDlg;
}

// Where a channel plays and what its button says, as a lookup finds them, and what the window
// says on opening it (the lookup played the channel's other source).
struct ChannelAddress
{
    QString address;
    QString caption;
    QString note;
};

// What the window needs to keep a multicast channel playing from its storage server, set up by
// the channel window.
struct MulticastSupport
{
    // The receiver of a channel's group beside the player; null when there is none.
    std::function<std::shared_ptr<GroupTap>(int channel)> tap;
    // A player set up as the channel window sets up the window's own.
    std::function<std::unique_ptr<CChannelPlayback>()> newPlayback;
    locator::StorageServers servers;
    bool fallback = false;
    CChannelFallback::Timing timing;
};

// Looks a channel up as a click on its button would; failures have been reported to `owner`.
using ChannelLookup = std::function<std::optional<ChannelAddress>(int channel, QWidget* owner)>;

// The window one channel plays in, at 800 x 600, centred on the screen; it can be maximized and
// put in full screen but not resized by hand. It shows what its playback decodes and says what is
// happening over the picture: the channel for a moment on opening and on each switch, "connecting"
// while no picture has come, a countdown while a stopped stream waits to be reopened.
//
// Keys: F11 or a double click toggle full screen; Escape leaves full screen, then closes;
// M mutes; Up, Down and the wheel change the volume; Page Up and Page Down step through the
// channels and the digits 1 to 8 switch to one, in this window; I shows and hides a panel of
// figures on what plays, updated every second.
class CPlayerDlg : public CDarkDialog
{
    Q_OBJECT

public:
    static constexpr int kChannels = 8;
    static constexpr int kVolumeStep = 5;
    static constexpr QSize kSize{800, 600};
    // Longer titles are cut: X11 refuses a property larger than its request limit.
    static constexpr int kLongestTitle = 4096;
    static constexpr std::chrono::milliseconds kConnectingAfter{1000};
    static constexpr std::chrono::milliseconds kHidePointerAfter{1000};
    // The steps a window manager may size the window in by hand: larger than any screen.
    static constexpr int kUnsizableStep = 16384;
    // How long a change of source is told over the picture.
    static constexpr std::chrono::milliseconds kMessageTime{3000};
    static constexpr std::chrono::milliseconds kPanelEvery{1000};

    explicit CPlayerDlg(QWidget* parent = nullptr);
    ~CPlayerDlg() override;

    void SetAddress(const QString& address) { m_strAddress = address; }
    void SetCaption(const QString& caption) { m_strCaption = caption; }
    // Said over the picture on opening (ChannelAddress::note).
    void SetNote(const QString& note) { m_strNote = note; }
    // Turns on the fallback of multicast channels to their storage server.
    void SetMulticast(MulticastSupport support);
    void SetInstance(libvlc_instance_t* instance) { m_playback->SetInstance(instance); }
    // Lets the window switch channels itself; without it the channel keys do nothing.
    void SetChannel(int channel, ChannelLookup lookup);
    // The volume (0 to 100) and mute the window starts with.
    void SetAudio(int volume, bool muted);
    // Plays through `playback`, set up by the channel window. When it already plays the window's
    // address (prepared before the window opened), the window shows its newest picture at once.
    void AdoptPlayback(std::unique_ptr<CChannelPlayback> playback);

    // Initialises the window and starts playback, then runs it modally.
    int DoModal();
    // Sets the title and starts playback; a media or player libvlc cannot create leaves the
    // window empty.
    bool OnInitDialog();

    libvlc_media_player_t* Player() const { return m_playback->Player(); }
    const CChannelPlayback& Playback() const { return *m_playback; }
    CChannelPlayback& Playback() { return *m_playback; }
    const CChannelFallback& Fallback() const { return *m_fallback; }
    QString Address() const { return m_strAddress; }
    int Channel() const { return m_channel; }
    int Volume() const { return m_volume; }
    bool Muted() const { return m_muted; }
    bool PanelShown() const { return m_panel.isActive(); }
    std::optional<std::chrono::seconds> PendingReopen() const
    {
        return m_playback->PendingReopen();
    }

public slots:
    void accept() override; // Enter does nothing
    void done(int result) override;
    void SwitchToChannel(int channel);
    // Stops the stream and opens it again after the next back-off.
    void ReopenLater() { m_playback->ReopenLater(); }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void ConnectPlayback();
    void UpdatePictureArea();
    void UpdatePictureArea(CChannelPlayback& playback) const;
    void OnDestroy();
    void Play();
    void ShowStatus();
    void ToggleFullScreen();
    void ChangeVolume(int delta);
    void ToggleMute();
    void UpdateTitle();
    void ShowPointer();
    void Say(const QString& text);
    void OnUseStorage(const QString& address);
    void OnReturnReady();
    void TapGroup();
    void TogglePanel();
    void UpdatePanel();

    std::unique_ptr<Ui::CPlayerDlg> m_ui;
    QString m_strAddress;
    QString m_strCaption;
    QString m_strNote;
    std::unique_ptr<CChannelPlayback> m_playback;
    MulticastSupport m_multicast;
    std::shared_ptr<GroupTap> m_tap; // the shown channel's group, while it has one
    std::unique_ptr<CChannelFallback> m_fallback;

    int m_channel = 0;
    ChannelLookup m_lookup;
    int m_volume = 100;
    bool m_muted = false;
    // A double click toggles full screen only when its first press landed in this window too:
    // the times of the last two presses here.
    void NotePress(const QMouseEvent* event);
    std::optional<quint64> m_lastPress;
    std::optional<quint64> m_previousPress;

    QTimer m_connecting; // when "connecting" may show after an open
    QTimer m_countdown;  // ticks the lost-signal countdown
    QTimer m_pointer;    // hides the pointer in full screen
    QTimer m_panel;      // refreshes the panel of figures while it shows
    BehindLive m_behindLive;
};
