#pragma once

#include <QByteArray>
#include <chrono>

namespace locator {

// True when the multicast group `group` (dotted IPv4) carries a datagram to `port` within
// `within`: a socket of its own joins the group, waits for one datagram and leaves. False at
// once for anything but a multicast group, or when the group cannot be joined. Blocks the
// calling thread up to `within`; safe on any thread.
bool GroupCarriesData(const QByteArray& group, quint16 port, std::chrono::milliseconds within);

} // namespace locator
