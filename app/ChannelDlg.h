#pragma once

#include "AppLook.h"
#include "ChannelPlayback.h"
#include "LabelButton.h"
#include "LookupTask.h"
#include "MediaLibrary.h"
#include "PlayerDlg.h"
#include "SettingsFile.h"
#include "Warmup.h"

#include <QString>
#include <QTimer>
#include <array>
#include <chrono>
#include <functional>
#include <memory>

class CImageButton;
class QMenu;

namespace fastzap {
class LiveSource;
class Receivers;
} // namespace fastzap
namespace relay {
class StreamRelay;
}

namespace Ui {
class CChannelDlg;
}

// The main window: eight channel buttons. A click locates the channel and plays it in a modal
// player window. The window owns the process's network start-up and its one libvlc instance.
class CChannelDlg : public CDarkDialog
{
    Q_OBJECT

public:
    static constexpr int kChannels = 8;
    static constexpr quint32 IDM_ABOUTBOX = 0x0010;
    static constexpr quint32 SC_MINIMIZE = 0xF020;
    static constexpr quint32 SC_CLOSE = 0xF060;

    using InstanceFactory = std::function<VlcInstance()>;

    // `createInstance` makes the libvlc instance; only tests pass another.
    explicit CChannelDlg(QWidget* parent = nullptr,
                         InstanceFactory createInstance = CreateVlcInstance);
    ~CChannelDlg() override;

    // Shows the window, starts what it does not need to be seen once it is on screen, and runs
    // it modally until it is cancelled.
    int DoModal();
    // Initialises the window and starts everything at once.
    bool OnInitDialog();
    void OnChannel(int channel);
    // Locates `channel` as a click does, under a busy cursor; failures are shown to `owner`.
    // `ready` is a lookup already under way or done for it, to take instead of a new one.
    std::optional<ChannelAddress> Locate(int channel, QWidget* owner, CLookupTask* ready = nullptr);
    // The channel prepared while the mouse rests on its button; 0 when none is.
    int PreparedChannel() const;
    // The prepared channel's playback, while there is one.
    const CChannelPlayback* PreparedPlayback() const;
    void OnSysCommand(quint32 id);

    CImageButton* ChannelButton(int channel) const;
    bool MultiMode() const { return m_bMutiMode; }
    libvlc_instance_t* Instance() const { return m_instance.get(); }
    // Where lookups go; the program uses the built-in storage servers.
    void SetStorageServers(const locator::StorageServers& servers) { m_servers = servers; }
    const locator::StorageServers& StorageServers() const { return m_servers; }
    const QStringList& MediaOptions() const { return m_mediaOptions; }
    // How long the mouse rests on a channel's button before the channel is prepared.
    static constexpr std::chrono::milliseconds kRestTime{100};
    // A lookup made while resting that is older than this is made again on the click.
    static constexpr std::chrono::milliseconds kFreshLookup{2000};
    // In storage-server mode with the fallback, how long a channel's group is given to carry
    // data when its storage server gives no address.
    static constexpr std::chrono::milliseconds kGroupWithin{1000};
    bool FallbackOn() const { return m_fallback; }
    // How long the fallback waits and watches; only tests change it.
    void SetFallbackTiming(const CChannelFallback::Timing& timing) { m_fallbackTiming = timing; }
    // A multicast channel's buffered group of pictures and the live packets after it; null while
    // the receivers hold no group for it (or do not run).
    std::shared_ptr<fastzap::LiveSource> FastSource(const QString& address) const;

public slots:
    void accept() override; // OnOK: Enter never closes the channel window
    void reject() override; // OnCancel

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // What the window needs to be seen: its icon and its pictures.
    void ShowInit();
    // The rest: the menu, the site's settings, the network, libvlc, the receivers and, with
    // `warmUp`, the warm-up. Once only; whatever needs any of it calls it first.
    void StartBehindTheWindow(bool warmUp);
    void DressButtons();
    void ReadSiteSettings();
    void StartFastChannelChange();
    std::unique_ptr<CChannelPlayback> NewPlayback() const;
    void OnButtonHover(int channel, bool hover);
    void Prepare();
    void PlayPrepared(const QString& address);
    void TraceLookup(int channel, const locator::LocateResult& result) const;
    std::optional<std::chrono::milliseconds> GroupFallback() const;
    MulticastSupport Multicast() const;

    std::unique_ptr<Ui::CChannelDlg> m_ui;
    bool m_bMutiMode = false;
    std::array<CImageButton*, kChannels> m_btnChannel{};
    CLabelButton* m_label = nullptr;
    CSettingsFile m_settings;
    InstanceFactory m_createInstance;
    VlcInstance m_instance;
    CWarmup m_warmup; // declared after the instance: it goes first
    bool m_networkStarted = false;
    locator::StorageServers m_servers;
    QStringList m_mediaOptions;
    int m_networkCachingMs = kDefaultNetworkCachingMs;
    std::unique_ptr<QMenu> m_systemMenu;
    int m_volume = 100;
    bool m_muted = false;
    bool m_fastChannelChange = true;
    bool m_preStart = true;
    bool m_fallback = false;
    CChannelFallback::Timing m_fallbackTiming;
    bool m_inChannel = false; // a click is being handled: nothing is prepared meanwhile
    bool m_startWhenPainted = false;
    bool m_started = false;

    // What is prepared for the channel the mouse rests on: its lookup in storage-server mode,
    // then its playback, muted and into memory, shown by no window until the click.
    struct Prepared
    {
        int channel = 0;
        std::unique_ptr<CLookupTask> lookup;
        std::unique_ptr<CChannelPlayback> playback;
    };
    std::unique_ptr<Prepared> m_prepared;
    int m_restChannel = 0;
    QTimer m_rest;
    std::shared_ptr<fastzap::Receivers> m_receivers;
    std::unique_ptr<relay::StreamRelay> m_relay; // between libvlc and the storage servers
};
