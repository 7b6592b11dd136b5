#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringView>
#include <optional>

namespace locator {

// The stream address of `channel` in a storage server's channel list, found by plain text
// search: the first occurrence of "udp://224.1.1.<channel>:1234" opens the channel's record,
// the first "}" after it closes it, and the first "http://" in between starts the address,
// which runs up to the double quote that closes it.
//
// Lists whose address has no closing quote inside the record are read the old way: the record
// is cut two characters before its "}" and trailing double quotes are trimmed.
std::optional<QString> FindStreamAddress(QStringView text, int channel);

// The same search on the list's raw UTF-8 bytes, with the result FindStreamAddress gives on the
// decoded list: the key, the "}" and the scheme are ASCII, and in UTF-8 an ASCII byte is always
// that character, so only the record needs decoding.
std::optional<QString> FindStreamAddressInBody(QByteArrayView body, int channel);

// The channel list's own key for a channel; it has no "@", unlike the multicast address.
QString ChannelListKey(int channel);

} // namespace locator
