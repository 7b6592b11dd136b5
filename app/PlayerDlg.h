#pragma once

#include "AppLook.h"
#include "MediaLibrary.h"

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

// Wait before reopening a stream that stopped: 1 s, then twice the last wait, at most 30 s.
std::chrono::seconds NextBackoff(std::chrono::seconds previous);

// The window one channel plays in. It owns one media player for its whole life, renders into
// its own native window, and stops and releases the player when it closes.
//
// Keys: F11 or a double click toggle full screen; Escape leaves full screen, then closes;
// M mutes; Up, Down and the wheel change the volume; Page Up and Page Down step through the
// channels and the digits 1 to 8 switch to one, in this window. A stream that ends, fails or
// shows no new picture for 5 s is reopened, after a back-off, until the window closes.
class CPlayerDlg : public CDarkDialog
{
    Q_OBJECT

public:
    static constexpr int kChannels = 8;
    static constexpr int kVolumeStep = 5;
    static constexpr std::chrono::seconds kStallTime{5};

    explicit CPlayerDlg(QWidget* parent = nullptr);
    ~CPlayerDlg() override;

    void SetAddress(const QString& address) { m_strAddress = address; }
    void SetCaption(const QString& caption) { m_strCaption = caption; }
    void SetInstance(libvlc_instance_t* instance) { m_instance = instance; }
    // Per-media libvlc options for every stream this window opens.
    void SetMediaOptions(const QStringList& options) { m_mediaOptions = options; }
    // Lets the window switch channels itself; without it the channel keys do nothing.
    void SetChannel(int channel, ChannelLookup lookup);

    // Initialises the window and starts playback, then runs it modally.
    int DoModal();
    // Sets the title and starts playback; a media or player libvlc cannot create leaves the
    // window empty.
    bool OnInitDialog();

    libvlc_media_player_t* Player() const { return m_player.get(); }
    QString Address() const { return m_strAddress; }
    int Channel() const { return m_channel; }
    int Volume() const { return m_volume; }
    bool Muted() const { return m_muted; }
    // The wait before the stream is reopened, while one is pending.
    std::optional<std::chrono::seconds> PendingReopen() const;

public slots:
    void accept() override; // Enter does nothing
    void done(int result) override;
    void SwitchToChannel(int channel);
    // Stops the stream and opens it again after the next back-off.
    void ReopenLater();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnDestroy();
    void Play();
    void WatchPictures();
    void ToggleFullScreen();
    void ChangeVolume(int delta);
    void ToggleMute();
    void ApplyAudio();
    void ShowOnScreen(const QString& text);
    void UpdateTitle();

    std::unique_ptr<Ui::CPlayerDlg> m_ui;
    QString m_strAddress;
    QString m_strCaption;
    libvlc_instance_t* m_instance = nullptr; // lent by the channel window
    QStringList m_mediaOptions;
    VlcPlayer m_player;

    int m_channel = 0;
    ChannelLookup m_lookup;
    int m_volume = 100;
    bool m_muted = false;

    QTimer m_watchdog; // once a second: are pictures still coming?
    QTimer m_reopen;
    std::chrono::seconds m_backoff{0};
    qint64 m_pictures = -1;
    int m_secondsWithoutPicture = 0;
};
