#pragma once

#include "Fetch.h"

#include <QByteArray>
#include <QString>
#include <chrono>
#include <optional>

namespace locator {

// Where channel lists are looked up. The program uses the built-in servers; tests point the same
// code at servers of their own.
struct StorageServers
{
    QByteArray forChannels1to6 = "192.168.10.11";
    QByteArray forChannels7and8 = "192.168.10.12";
    quint16 port = 80;
    FetchLimits limits;

    const QByteArray& serverFor(int channel) const
    {
        return channel > 6 ? forChannels7and8 : forChannels1to6;
    }
    QString channelListUrl(int channel) const;
};

// The multicast address of a channel: "udp://@224.1.1.<channel>:1234".
QString MulticastAddress(int channel);
// Its group and port: "224.1.1.<channel>", 1234.
QByteArray MulticastGroup(int channel);
inline constexpr quint16 kMulticastPort = 1234;

// Why a lookup found no address.
enum class LocateFailure
{
    Unreachable,    // the storage server did not take a connection within 2 seconds
    ListUnreadable, // its channel list could not be downloaded
    NoAddress,      // the list does not name the channel, or names no usable address
};

// A lookup's outcome, with what a one-line account of it needs.
struct LocateResult
{
    std::optional<QString> address;
    LocateFailure failure = LocateFailure::NoAddress; // meaningful only without an address

    QByteArray server;           // the storage server asked; empty in multicast mode
    bool probeSucceeded = false; // the server took the probe's connection
    qint64 probeMs = -1;         // how long the probe took; -1 when there was none
    qint64 listBytes = -1;       // the channel list's size; -1 when none was read
    QString fetchError;          // why the download failed, when it did
    // The storage server gave no address, and `address` is the channel's multicast group, which
    // carried data (FindChannelOrGroup); `failure` says why the server gave none.
    bool groupInstead = false;
};

// The whole lookup of `channel`'s stream address, without windows: the multicast group when
// `modeFlag` is set; otherwise a 2-second probe of the channel's storage server, the download of
// its channel list and the scan. Blocks the calling thread for the probe and the download.
//
// Safe on any thread, several at once: it touches no GUI object, each call has its own socket
// and curl handle, and it only reads the application's name. curl_global_init must have been
// called before, as the application does at start.
LocateResult FindChannel(int channel, bool modeFlag, const StorageServers& servers = {});

// A storage-server lookup (FindChannel without the mode flag) which, when it finds no address,
// gives the channel's multicast group instead if the group carries a datagram within `within`.
// Blocks the calling thread for the lookup and then up to `within`.
LocateResult FindChannelOrGroup(int channel, const StorageServers& servers,
                                std::chrono::milliseconds within);

// The message the program shows for a failure, in its "提示" box.
QString FailureMessage(LocateFailure failure);

} // namespace locator
