// Relay URLs: an upstream location written into a route's URL must come back out of libvlc's
// request exactly, and nothing else may be taken for one.
#include "Address.h"

#include "RelayTestKit.h"

#include <gtest/gtest.h>

namespace {

// Cases print as their names in gtest's messages.
template <typename Case>
concept Named = requires(const Case& c)
{
    c.name;
};

void PrintTo(const Named auto& c, std::ostream* os)
{
    *os << c.name;
}

constexpr QByteArrayView kRouteBase = "http://127.0.0.1:4000/k3y/";

struct RoundTrip
{
    const char* name;
    const char* upstream;
    const char* requested; // what the relay asks upstream for
};

class RelayUrl : public ::testing::TestWithParam<RoundTrip>
{};

TEST_P(RelayUrl, ComesBackAsTheUpstreamUrl)
{
    const QByteArray local =
        relay::LocalUrlFor(kRouteBase, QUrl(QString::fromUtf8(GetParam().upstream)));
    ASSERT_TRUE(local.startsWith(kRouteBase.toByteArray())) << local.constData();
    // The local URL is what libvlc puts in its request line: no raw byte may need escaping.
    for (const char c : local)
        ASSERT_TRUE(c > 0x20 && c < 0x7F) << local.constData();
    const auto target = relay::ParseLocalTarget(TargetOf(QString::fromLatin1(local)));
    ASSERT_TRUE(target) << local.constData();
    EXPECT_EQ(target->routeKey, "k3y");
    EXPECT_EQ(target->upstreamUrl, GetParam().requested);
}

INSTANTIATE_TEST_SUITE_P(
    Upstreams, RelayUrl,
    ::testing::Values(RoundTrip{"plain", "http://192.168.10.11/hls/ch1/index.m3u8",
                                "http://192.168.10.11/hls/ch1/index.m3u8"},
                      RoundTrip{"port_and_query", "https://cdn.example:8443/a/b.ts?x=1&y=%2F",
                                "https://cdn.example:8443/a/b.ts?x=1&y=%2F"},
                      RoundTrip{"no_path", "http://h:81", "http://h:81/"},
                      RoundTrip{"ipv6_host", "http://[::1]:8080/live/x.ts",
                                "http://[::1]:8080/live/x.ts"},
                      RoundTrip{"user_info", "http://user:pw@h/x.ts", "http://user:pw@h/x.ts"},
                      RoundTrip{"space_and_chinese", "http://h/频道 1/段.ts",
                                "http://h/%E9%A2%91%E9%81%93%201/%E6%AE%B5.ts"},
                      RoundTrip{"fragment_dropped", "http://h/x.ts#t=10", "http://h/x.ts"},
                      RoundTrip{"upper_case_scheme", "HTTP://h/x.ts", "http://h/x.ts"}),
    [](const auto& info) { return std::string(info.param.name); });

struct Target
{
    const char* name;
    const char* target;
    const char* requested; // empty: refused
};

class RequestTarget : public ::testing::TestWithParam<Target>
{};

TEST_P(RequestTarget, IsReadOrRefused)
{
    const auto parsed = relay::ParseLocalTarget(GetParam().target);
    if (*GetParam().requested == '\0') {
        EXPECT_FALSE(parsed) << parsed->upstreamUrl.constData();
        return;
    }
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->upstreamUrl, GetParam().requested);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, RequestTarget,
    ::testing::Values(
        // libvlc sends what a playlist holds; raw bytes must not reach the server as such.
        Target{"raw_space_and_utf8", "/k/http/h/a b/\xE9\xA2\x91.ts",
               "http://h/a%20b/%E9%A2%91.ts"},
        Target{"query_without_path", "/k/http/h?x=1", "http://h/?x=1"},
        Target{"absolute_form", "http://127.0.0.1:4000/k/https/h/x.ts", "https://h/x.ts"},
        Target{"escaped_ipv6_host", "/k/http/%5B::1%5D:81/x", "http://[::1]:81/x"},
        Target{"root", "/", ""}, Target{"key_only", "/k", ""}, Target{"no_scheme", "/k/", ""},
        Target{"no_host", "/k/http/", ""}, Target{"empty_key", "//http/h/x", ""},
        Target{"other_scheme", "/k/ftp/h/x", ""}, Target{"file_scheme", "/k/file/h/etc", ""},
        Target{"relative", "k/http/h/x", ""}, Target{"asterisk", "*", ""},
        Target{"slash_hidden_in_host", "/k/http/h%2Fevil/x", ""},
        Target{"space_hidden_in_host", "/k/http/h%20x/x", ""}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
