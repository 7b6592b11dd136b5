#pragma once

#include "Fetch.h"

#include <QByteArray>
#include <QString>
#include <optional>

class QWidget;

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

// The stream address of `channel`: the multicast group when `modeFlag` is set; otherwise the
// address in the channel list of the channel's storage server, after a 2-second reachability
// probe. Every failure shows exactly one "提示" message box owned by `owner` and returns nothing.
// Runs on the calling thread and blocks it for the probe and the download.
std::optional<QString> LocateChannel(int channel, bool modeFlag, QWidget* owner,
                                     const StorageServers& servers = {});

} // namespace locator
