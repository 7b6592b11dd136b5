#include "ChannelDlg.h"

#include "AboutDlg.h"
#include "Address.h"
#include "Allocator.h"
#include "ImageButton.h"
#include "PlayerDlg.h"
#include "PrivateProfile.h"
#include "Probe.h"
#include "Prompt.h"
#include "Receivers.h"
#include "StreamRelay.h"
#include "Verbose.h"
#include "WindowFrame.h"
#include "ui_ChannelDlg.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QShortcut>
#include <QTimer>
#include <curl/curl.h>

namespace {

const QString kSettingsFile = QStringLiteral("./Quorvel.ini");
const QString kAboutText = QStringLiteral("关于 Ondrasel(&A)...");
// libvlc could not start: said once at start, and again for every click.
const QString kPlayerUnavailable = QStringLiteral("播放器初始化失败，请与管理员联系！");

} // namespace

CChannelDlg::CChannelDlg(QWidget* parent, InstanceFactory createInstance)
    : CDarkDialog(parent), m_ui(std::make_unique<Ui::CChannelDlg>()),
      m_createInstance(std::move(createInstance))
{
    m_ui->setupUi(this);
    // A fixed-size window with a minimize box and a close box, no maximize box.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    m_btnChannel = {m_ui->IDC_CHANNEL1, m_ui->IDC_CHANNEL2, m_ui->IDC_CHANNEL3, m_ui->IDC_CHANNEL4,
                    m_ui->IDC_CHANNEL5, m_ui->IDC_CHANNEL6, m_ui->IDC_CHANNEL7, m_ui->IDC_CHANNEL8};
    for (int channel = 1; channel <= kChannels; ++channel) {
        connect(m_btnChannel[channel - 1], &QPushButton::clicked, this,
                [this, channel] { OnChannel(channel); });
        connect(m_btnChannel[channel - 1], &CImageButton::HoverChanged, this,
                [this, channel](bool hover) { OnButtonHover(channel, hover); });
    }
    m_rest.setSingleShot(true);
    m_rest.setInterval(kRestTime);
    connect(&m_rest, &QTimer::timeout, this, &CChannelDlg::Prepare);
}

CChannelDlg::~CChannelDlg()
{
    m_prepared.reset();
    // The relay's connections use curl to their last moment.
    m_relay.reset();
    if (m_networkStarted)
        curl_global_cleanup();
}

int CChannelDlg::DoModal()
{
    // A fixed size: no sizing border, no maximize box.
    frame::SetOffers(this, frame::kMove | frame::kMinimize | frame::kClose | frame::kSystemMenu);
    const frame::PendingFrame pending(this);
    ShowInit(); // while the window manager answers
    frame::CentreOnWorkArea(this, nullptr, pending.Wait());
    m_startWhenPainted = true;
    return exec();
}

bool CChannelDlg::OnInitDialog()
{
    ShowInit();
    StartBehindTheWindow(false);
    return true;
}

void CChannelDlg::ShowInit()
{
    setWindowIcon(AppIcon());
    DressButtons();
}

void CChannelDlg::paintEvent(QPaintEvent* event)
{
    CDarkDialog::paintEvent(event);
    // The window has painted its first picture and goes to the screen when this returns; what
    // it does not need to be seen comes next.
    if (m_startWhenPainted) {
        m_startWhenPainted = false;
        QTimer::singleShot(0, this, [this] { StartBehindTheWindow(true); });
    }
}

void CChannelDlg::StartBehindTheWindow(bool warmUp)
{
    if (m_started)
        return;
    m_started = true;
    // The title-bar menu belongs to the window manager on X11, so the entries it would carry sit
    // in the window's context menu; Alt+A opens the About box from anywhere in the window.
    m_systemMenu = std::make_unique<QMenu>(this);
    m_systemMenu->addAction(QStringLiteral("最小化(&N)"), this,
                            [this] { OnSysCommand(SC_MINIMIZE); });
    m_systemMenu->addAction(QStringLiteral("关闭(&C)"), this, [this] { OnSysCommand(SC_CLOSE); });
    m_systemMenu->addSeparator();
    m_systemMenu->addAction(kAboutText, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
    auto* about = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_A), this);
    connect(about, &QShortcut::activated, this, [this] { OnSysCommand(IDM_ABOUTBOX); });

    m_bMutiMode = m_settings.GetBoolConfig(kSettingsFile, QStringLiteral("Default"),
                                           QStringLiteral("MutiMode"));
    ReadSiteSettings();

    m_networkStarted = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    if (!m_networkStarted)
        ShowPrompt(this, QStringLiteral("初始化时发生错误，请与管理员联系！"));
    // In multicast mode the relay carries the storage server's stream a silent group falls
    // over to.
    if (m_networkStarted && (!m_bMutiMode || m_fallback)) {
        m_relay = std::make_unique<relay::StreamRelay>();
        if (!m_relay->Start())
            m_relay.reset(); // HTTP channels then do not play: libvlc never opens them itself
    }

    m_instance = m_createInstance();
    if (!m_instance)
        ShowPrompt(this, kPlayerUnavailable);
    StartFastChannelChange();
    // Get libvlc ready for the first channel.
    if (warmUp)
        m_warmup.Start(m_instance.get());
}

void CChannelDlg::StartFastChannelChange()
{
    if (!m_bMutiMode || !m_fastChannelChange || !m_instance || m_receivers)
        return;
    // A channel's buffered group is handed over with as much at once as the player buffers
    // before its first picture: its network caching.
    fastzap::ReceiverOptions options;
    options.catchUp->lead = m_networkCachingMs / 1000.0;
    m_receivers = std::make_shared<fastzap::Receivers>(fastzap::SiteGroups(), options);
    m_receivers->Start();
}

std::shared_ptr<fastzap::LiveSource> CChannelDlg::FastSource(const QString& address) const
{
    if (!m_receivers)
        return nullptr;
    for (int channel = 1; channel <= kChannels; ++channel)
        if (address == locator::MulticastAddress(channel))
            return m_receivers->OpenSource(std::size_t(channel - 1));
    return nullptr;
}

void CChannelDlg::DressButtons()
{
    for (int channel = 1; channel <= kChannels; ++channel) {
        const QString stem =
            QStringLiteral("./images/channel%1-").arg(channel, 2, 10, QLatin1Char('0'));
        m_btnChannel[channel - 1]->SetImages(stem + QStringLiteral("1.jpg"),
                                             stem + QStringLiteral("2.jpg"));
    }
    for (CImageButton* button : m_btnChannel)
        button->SizeToImage();
    // The form has no label control; binding it finds nothing and changes nothing.
    m_label = findChild<CLabelButton*>(QStringLiteral("IDC_LABEL"));
}

CImageButton* CChannelDlg::ChannelButton(int channel) const
{
    return channel >= 1 && channel <= kChannels ? m_btnChannel[channel - 1] : nullptr;
}

void CChannelDlg::ReadSiteSettings()
{
    // Optional keys, read without GetCStringConfig, whose missing-key box is for required keys.
    const auto value = [](const QString& key) {
        return profile::GetPrivateProfileString(u"Default", key, 40, kSettingsFile).trimmed();
    };
    // A site may name its own storage servers; anything but a dotted IPv4 address keeps the
    // built-in one.
    const QString low = value(QStringLiteral("StorageServer1To6"));
    const QString high = value(QStringLiteral("StorageServer7To8"));
    if (locator::IsDottedIPv4(low))
        m_servers.forChannels1to6 = low.toLatin1();
    if (locator::IsDottedIPv4(high))
        m_servers.forChannels7and8 = high.toLatin1();

    // Switches that are on unless a site writes 0.
    const auto on = [&](const QString& key) {
        const QString text = value(key);
        return text.isEmpty() || text.startsWith(u'1');
    };
    m_fastChannelChange = on(QStringLiteral("FastChannelChange"));
    m_preStart = on(QStringLiteral("PreStart"));
    // On by default where the other source is the storage server: multicast is what breaks.
    const QString fallback = value(QStringLiteral("Fallback"));
    m_fallback = fallback.isEmpty() ? m_bMutiMode : fallback.startsWith(u'1');

    const int caching = m_settings.GetIntConfig(kSettingsFile, QStringLiteral("Default"),
                                                QStringLiteral("NetworkCaching"));
    m_networkCachingMs = caching > 0 ? caching : kDefaultNetworkCachingMs;
    m_mediaOptions = LiveStreamOptions(m_networkCachingMs);
}

std::unique_ptr<CChannelPlayback> CChannelDlg::NewPlayback() const
{
    auto playback = std::make_unique<CChannelPlayback>();
    playback->SetInstance(m_instance.get());
    playback->SetMediaOptions(m_mediaOptions);
    playback->SetFastSources([this](const QString& address) { return FastSource(address); });
    playback->SetRelay(m_relay.get());
    playback->SetAudio(m_volume, m_muted);
    return playback;
}

std::optional<std::chrono::milliseconds> CChannelDlg::GroupFallback() const
{
    if (m_bMutiMode || !m_fallback)
        return std::nullopt;
    return kGroupWithin;
}

MulticastSupport CChannelDlg::Multicast() const
{
    MulticastSupport support;
    // The fast channel change's receivers watch every group already; otherwise the shown
    // channel's group gets a receiver of its own while it plays.
    support.tap = [receivers = m_receivers](int channel) {
        return receivers ? TapReceivers(receivers, std::size_t(channel - 1))
                         : TapOwnReceiver(channel);
    };
    support.newPlayback = [this] {
        return NewPlayback();
    };
    support.servers = m_servers;
    support.fallback = m_bMutiMode && m_fallback;
    support.timing = m_fallbackTiming;
    return support;
}

void CChannelDlg::TraceLookup(int channel, const locator::LocateResult& result) const
{
    if (!Verbose() || m_bMutiMode)
        return;
    QString line = QStringLiteral("lookup of channel %1: storage server %2 ")
                       .arg(channel)
                       .arg(QString::fromLatin1(result.server));
    if (!result.probeSucceeded) {
        line += QStringLiteral("did not take a connection (%1 ms)").arg(result.probeMs);
    } else {
        line += QStringLiteral("answered the probe in %1 ms").arg(result.probeMs);
        if (result.listBytes < 0)
            line += QStringLiteral("; its channel list could not be read: ") + result.fetchError;
        else
            line += QStringLiteral("; channel list of %1 bytes").arg(result.listBytes);
    }
    line += result.address ? QStringLiteral("; address ") + *result.address
                           : QStringLiteral("; no address");
    if (result.groupInstead)
        line += QStringLiteral(" (its group instead: the server gave none)");
    Trace(line);
}

std::optional<ChannelAddress> CChannelDlg::Locate(int channel, QWidget* owner, CLookupTask* ready)
{
    StartBehindTheWindow(true);
    std::unique_ptr<CLookupTask> own;
    CLookupTask* task = ready;
    if (task == nullptr) {
        own = std::make_unique<CLookupTask>(channel, m_bMutiMode, m_servers, GroupFallback());
        task = own.get();
    }
    {
        const BusyCursor busy;
        task->WaitWithoutInput();
    }
    const locator::LocateResult& result = task->Result();
    TraceLookup(channel, result);
    if (!result.address) {
        ShowPrompt(owner, locator::FailureMessage(result.failure));
        return std::nullopt;
    }
    // An address the relay cannot route (an odd host or port) is no address: libvlc would
    // reach the server by itself, with none of the relay's bounds. A multicast group played
    // instead of a server that failed is libvlc's to join.
    if (!m_bMutiMode && !result.groupInstead && !relay::IsRelayable(*result.address)) {
        ShowPrompt(owner, locator::FailureMessage(locator::LocateFailure::NoAddress));
        return std::nullopt;
    }
    return ChannelAddress{*result.address, m_btnChannel[channel - 1]->text(),
                          result.groupInstead ? QStringLiteral("存储服务器不可用，已改用组播")
                                              : QString()};
}

int CChannelDlg::PreparedChannel() const
{
    return m_prepared ? m_prepared->channel : 0;
}

const CChannelPlayback* CChannelDlg::PreparedPlayback() const
{
    return m_prepared ? m_prepared->playback.get() : nullptr;
}

void CChannelDlg::OnButtonHover(int channel, bool hover)
{
    StartBehindTheWindow(true);
    if (hover) {
        if (m_prepared && m_prepared->channel != channel)
            m_prepared.reset();
        m_restChannel = channel;
        if (m_preStart && !m_inChannel)
            m_rest.start();
    } else if (channel == m_restChannel) {
        m_rest.stop();
        m_restChannel = 0;
        m_prepared.reset(); // its player is let go off this thread
    }
}

void CChannelDlg::Prepare()
{
    const int channel = m_restChannel;
    if (channel == 0 || m_inChannel || !m_instance || PreparedChannel() == channel)
        return;
    m_prepared = std::make_unique<Prepared>();
    m_prepared->channel = channel;
    if (m_bMutiMode) {
        PlayPrepared(locator::MulticastAddress(channel));
        return;
    }
    // The lookup goes on in the background; a failure is told only if the channel is clicked.
    m_prepared->lookup = std::make_unique<CLookupTask>(channel, false, m_servers, GroupFallback());
    const CLookupTask* lookup = m_prepared->lookup.get();
    connect(lookup, &CLookupTask::Finished, this, [this, lookup] {
        if (m_prepared && m_prepared->lookup.get() == lookup && lookup->Result().address)
            PlayPrepared(*lookup->Result().address);
    });
}

void CChannelDlg::PlayPrepared(const QString& address)
{
    m_prepared->playback = NewPlayback();
    // Nothing is heard before the click.
    m_prepared->playback->SetAudio(m_volume, true);
    m_prepared->playback->Open(address);
}

void CChannelDlg::OnChannel(int channel)
{
    StartBehindTheWindow(true);
    if (!m_instance) {
        ShowPrompt(this, kPlayerUnavailable);
        return;
    }
    m_rest.stop();
    std::unique_ptr<Prepared> prepared;
    if (m_prepared && m_prepared->channel == channel)
        prepared = std::move(m_prepared);
    m_prepared.reset(); // another channel's: one decoding channel at a time
    m_inChannel = true;

    // A lookup made while resting stands if it is still under way, or succeeded lately;
    // one that failed, or is old, is made again, as a click without a rest makes it.
    CLookupTask* ready = nullptr;
    if (prepared && prepared->lookup) {
        const CLookupTask& lookup = *prepared->lookup;
        const bool fresh = lookup.IsDone() && lookup.Result().address &&
                           CLookupTask::Clock::now() - lookup.FinishedAt() <= kFreshLookup;
        if (!lookup.IsDone() || fresh)
            ready = prepared->lookup.get();
    }
    const std::optional<ChannelAddress> found = Locate(channel, this, ready);
    if (found) {
        CPlayerDlg player(this);
        player.SetAddress(found->address);
        player.SetCaption(found->caption);
        player.SetNote(found->note);
        player.SetMulticast(Multicast());
        player.SetChannel(channel,
                          [this](int other, QWidget* owner) { return Locate(other, owner); });
        player.SetAudio(m_volume, m_muted);
        // What the mouse's rest prepared plays on in the window, its newest picture at once.
        const bool ready =
            prepared && prepared->playback && prepared->playback->Address() == found->address;
        player.AdoptPlayback(ready ? std::move(prepared->playback) : NewPlayback());
        prepared.reset();
        player.DoModal();
        // The viewer's volume and mute hold for the rest of the run, in every window.
        m_volume = player.Volume();
        m_muted = player.Muted();
    }
    prepared.reset();
    m_inChannel = false;
    ReturnFreedMemory();
    // The window under the mouse changed without the mouse moving: light up the button it
    // now rests on at once, not at its next move.
    for (CImageButton* button : m_btnChannel)
        button->UpdateHover();
}

void CChannelDlg::keyPressEvent(QKeyEvent* event)
{
    const int key = event->key();
    if (key >= Qt::Key_1 && key <= Qt::Key_8 && event->modifiers() == Qt::NoModifier) {
        m_btnChannel[key - Qt::Key_1]->click();
        return;
    }
    CDarkDialog::keyPressEvent(event);
}

void CChannelDlg::OnSysCommand(quint32 id)
{
    switch (id & 0xFFF0) {
    case IDM_ABOUTBOX: {
        CAboutDlg about(this);
        about.exec();
        break;
    }
    case SC_MINIMIZE:
        showMinimized();
        break;
    case SC_CLOSE:
        reject();
        break;
    default:
        break;
    }
}

void CChannelDlg::contextMenuEvent(QContextMenuEvent* event)
{
    StartBehindTheWindow(true);
    if (m_systemMenu)
        m_systemMenu->exec(event->globalPos());
}

void CChannelDlg::accept() {}

void CChannelDlg::reject()
{
    m_started = true; // nothing starts after this
    m_rest.stop();
    m_prepared.reset();
    // The network's clean-up waits for the destructor: a lookup may still be running in the
    // background, and curl must outlive it.
    m_warmup.Stop();
    if (m_receivers)
        m_receivers->Stop();
    m_instance.reset();
    CDarkDialog::reject();
}
