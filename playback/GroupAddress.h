#pragma once

#include <QString>
#include <cstdint>
#include <netinet/in.h>
#include <optional>

// A multicast channel's address as the site writes it, "udp://@224.1.1.1:1234": the one form
// libvlc is given to open by itself, and the group the program joins beside it to read its
// sequence headers. Both must mean the same group, so there is one reader of the form.
struct GroupAddress
{
    in_addr group{};
    std::uint16_t port = 0;
};

// The group and port of `address` when it is written exactly in that form: a dotted-decimal
// address from 224.0.0.0 to 239.255.255.255 and a port from 1 to 65535, no leading zeros (the
// resolver libvlc asks reads "010" as octal, a group other than the one the program joins), no
// name, nothing before or after. Anything else reaches libvlc only as a relay URL, or not at all.
std::optional<GroupAddress> ParseGroupAddress(const QString& address);
