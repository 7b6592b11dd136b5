#pragma once

#include "AppLook.h"
#include "ChannelPlayback.h"

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

// Where a channel plays and what its button says, as a lookup finds them.
struct ChannelAddress
{
    QString address;
    QString caption;
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
// channels and the digits 1 to 8 switch to one, in this window.
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

    explicit CPlayerDlg(QWidget* parent = nullptr);
    ~CPlayerDlg() override;

    void SetAddress(const QString& address) { m_strAddress = address; }
    void SetCaption(const QString& caption) { m_strCaption = caption; }
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
    QString Address() const { return m_strAddress; }
    int Channel() const { return m_channel; }
    int Volume() const { return m_volume; }
    bool Muted() const { return m_muted; }
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
    void OnDestroy();
    void Play();
    void ShowStatus();
    void ToggleFullScreen();
    void ChangeVolume(int delta);
    void ToggleMute();
    void UpdateTitle();
    void ShowPointer();

    std::unique_ptr<Ui::CPlayerDlg> m_ui;
    QString m_strAddress;
    QString m_strCaption;
    std::unique_ptr<CChannelPlayback> m_playback;

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
};
