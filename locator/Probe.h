#pragma once

#include <QByteArray>
#include <chrono>

namespace locator {

// True when a TCP connection to `address`:`port` is established within `timeout`. The address
// must be a dotted-decimal IPv4 address; anything else is unreachable, and no name is looked up.
// A refused connection is unreachable at once. No data is sent.
bool IsServerReachable(const QByteArray& address, quint16 port = 80,
                       std::chrono::milliseconds timeout = std::chrono::seconds(2));

// True for a dotted-decimal IPv4 address, the only form the storage servers are named in.
bool IsDottedIPv4(const QString& address);

} // namespace locator
