#include "GroupAddress.h"

#include "TestNames.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

struct Form
{
    const char* name;
    const char* address;
    const char* group; // null: not the site's form
    std::uint16_t port;
};

class GroupForms : public testing::TestWithParam<Form>
{};

TEST_P(GroupForms, OnlyTheSitesFormNamesAGroup)
{
    const std::optional<GroupAddress> parsed =
        ParseGroupAddress(QString::fromUtf8(GetParam().address));
    ASSERT_EQ(parsed.has_value(), GetParam().group != nullptr);
    if (!parsed)
        return;
    char text[INET_ADDRSTRLEN] = {};
    ASSERT_NE(inet_ntop(AF_INET, &parsed->group, text, sizeof text), nullptr);
    EXPECT_STREQ(text, GetParam().group);
    EXPECT_EQ(parsed->port, GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, GroupForms,
    testing::Values(Form{"site", "udp://@224.1.1.3:1234", "224.1.1.3", 1234},
                    Form{"highest", "udp://@239.255.255.255:65535", "239.255.255.255", 65535},
                    Form{"octal_looking", "udp://@224.1.1.010:1234", nullptr, 0},
                    Form{"leading_zero_port", "udp://@224.1.1.1:01234", nullptr, 0},
                    Form{"unicast", "udp://@192.168.1.1:1234", nullptr, 0},
                    Form{"class_e", "udp://@240.0.0.1:1234", nullptr, 0},
                    Form{"port_over_65535", "udp://@224.1.1.1:65536", nullptr, 0},
                    Form{"source_specific", "udp://10.0.0.1@224.1.1.1:1234", nullptr, 0},
                    Form{"option_after", "udp://@224.1.1.1:1234 :sout=#file", nullptr, 0},
                    Form{"line_after", "udp://@224.1.1.1:1234\n", nullptr, 0}),
    ByName());

} // namespace
