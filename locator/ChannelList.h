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
//
// The address must also be one a player can take (IsUsableStreamAddress); when the record's is
// not, the list does not name the channel, just as when the record is missing.
std::optional<QString> FindStreamAddress(QStringView text, int channel);

// The same search on the list's raw UTF-8 bytes, with the result FindStreamAddress gives on the
// decoded list: the key, the "}" and the scheme are ASCII, and in UTF-8 an ASCII byte is always
// that character, so only the record needs decoding.
std::optional<QString> FindStreamAddressInBody(QByteArrayView body, int channel);

// The longest stream address taken, in UTF-8 bytes. The address becomes the player window's
// title, and X11 refuses a request larger than its limit, which kills the program.
inline constexpr qsizetype kMaxStreamAddressBytes = 4096;

// True for an address of at most kMaxStreamAddressBytes in UTF-8 without white space (Unicode's,
// U+3000 and U+00A0 included) or control characters (C0, DEL, C1), which libvlc refuses, and
// without half a surrogate pair, which has no UTF-8 form.
bool IsUsableStreamAddress(QStringView address);

// The length of `text` in UTF-8 as QString::toUtf8 writes it, without converting it.
qsizetype Utf8Length(QStringView text);

// The channel list's own key for a channel; it has no "@", unlike the multicast address.
QString ChannelListKey(int channel);

} // namespace locator
