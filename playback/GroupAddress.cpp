#include "GroupAddress.h"

#include <QRegularExpression>
#include <arpa/inet.h>

std::optional<GroupAddress> ParseGroupAddress(const QString& address)
{
    static const QRegularExpression form(
        QStringLiteral("\\Audp://@(0|[1-9]\\d{0,2})\\.(0|[1-9]\\d{0,2})\\.(0|[1-9]\\d{0,2})\\."
                       "(0|[1-9]\\d{0,2}):([1-9]\\d{0,4})\\z"));
    const QRegularExpressionMatch match = form.match(address);
    if (!match.hasMatch())
        return std::nullopt;
    std::uint32_t group = 0;
    for (int part = 1; part <= 4; ++part) {
        const uint octet = match.captured(part).toUInt();
        if (octet > 255)
            return std::nullopt;
        group = group << 8 | octet;
    }
    const uint port = match.captured(5).toUInt();
    if (!IN_MULTICAST(group) || port > 65535)
        return std::nullopt;
    GroupAddress parsed;
    parsed.group.s_addr = htonl(group);
    parsed.port = std::uint16_t(port);
    return parsed;
}
