#include "ChannelLookup.h"

#include "ChannelList.h"
#include "GroupProbe.h"
#include "Probe.h"

#include <QElapsedTimer>

namespace locator {

QString StorageServers::channelListUrl(int channel) const
{
    const QString host = QString::fromLatin1(serverFor(channel));
    const QString authority = port == 80 ? host : host + u':' + QString::number(port);
    return QStringLiteral("http://") + authority + QStringLiteral("/hls/storage_tasks.json");
}

QString MulticastAddress(int channel)
{
    return QStringLiteral("udp://@224.1.1.%1:1234").arg(channel);
}

QByteArray MulticastGroup(int channel)
{
    return "224.1.1." + QByteArray::number(channel);
}

LocateResult FindChannelOrGroup(int channel, const StorageServers& servers,
                                std::chrono::milliseconds within)
{
    LocateResult result = FindChannel(channel, false, servers);
    if (!result.address && GroupCarriesData(MulticastGroup(channel), kMulticastPort, within)) {
        result.address = MulticastAddress(channel);
        result.groupInstead = true;
    }
    return result;
}

LocateResult FindChannel(int channel, bool modeFlag, const StorageServers& servers)
{
    LocateResult result;
    if (modeFlag) {
        result.address = MulticastAddress(channel);
        return result;
    }

    result.server = servers.serverFor(channel);
    QElapsedTimer clock;
    clock.start();
    result.probeSucceeded = IsServerReachable(result.server, servers.port);
    result.probeMs = clock.elapsed();
    if (!result.probeSucceeded) {
        result.failure = LocateFailure::Unreachable;
        return result;
    }

    QByteArray body;
    try {
        body = FetchChannelListBody(servers.channelListUrl(channel), servers.limits);
    } catch (const std::exception& error) { // FetchError, or memory for the body ran out
        result.failure = LocateFailure::ListUnreadable;
        result.fetchError = QString::fromUtf8(error.what());
        return result;
    }
    result.listBytes = body.size();

    result.address = FindStreamAddressInBody(body, channel);
    if (!result.address)
        result.failure = LocateFailure::NoAddress;
    return result;
}

QString FailureMessage(LocateFailure failure)
{
    switch (failure) {
    case LocateFailure::Unreachable:
        return QStringLiteral("服务器网络不通，请与管理员联系！");
    case LocateFailure::ListUnreadable:
        return QStringLiteral("读取频道列表出错，请与管理员联系！");
    case LocateFailure::NoAddress:
        break;
    }
    return QStringLiteral("解析播放地址出错，请与管理员联系！");
}

} // namespace locator
