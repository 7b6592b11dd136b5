#include "ChannelLocator.h"

#include "ChannelList.h"
#include "Probe.h"
#include "Prompt.h"

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

std::optional<QString> LocateChannel(int channel, bool modeFlag, QWidget* owner,
                                     const StorageServers& servers)
{
    if (modeFlag)
        return MulticastAddress(channel);

    if (!IsServerReachable(servers.serverFor(channel), servers.port)) {
        ShowPrompt(owner, QStringLiteral("服务器网络不通，请与管理员联系！"));
        return std::nullopt;
    }

    QByteArray body;
    try {
        body = FetchChannelListBody(servers.channelListUrl(channel), servers.limits);
    } catch (...) {
        ShowPrompt(owner, QStringLiteral("读取频道列表出错，请与管理员联系！"));
        return std::nullopt;
    }

    std::optional<QString> address = FindStreamAddressInBody(body, channel);
    if (!address)
        ShowPrompt(owner, QStringLiteral("解析播放地址出错，请与管理员联系！"));
    return address;
}

} // namespace locator
