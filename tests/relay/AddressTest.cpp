// Upstream locations: what a playlist or a channel list names must resolve to exactly one URL
// the relay can route, or to none; and a relay URL must come back out of libvlc's request as
// exactly the URL it was made from, and nothing else may be taken for one.
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
constexpr QByteArrayView kBase = "http://origin:8080/hls/ch1/index.m3u8?s=1";

struct Reference
{
    const char* name;
    QByteArrayView reference;
    const char* resolved; // empty: the relay cannot route it
};

class UpstreamReference : public ::testing::TestWithParam<Reference>
{};

TEST_P(UpstreamReference, ResolvesToOneRoutableUrlOrNone)
{
    const Reference& c = GetParam();
    const std::optional<QByteArray> resolved = relay::Resolve(kBase, c.reference);
    const bool absolute = c.reference.startsWith("http") || c.reference.startsWith("HTTP");
    if (absolute) {
        EXPECT_EQ(relay::IsRelayable(QString::fromUtf8(c.reference)), resolved.has_value());
    }
    if (*c.resolved == '\0') {
        EXPECT_FALSE(resolved) << resolved->constData();
        return;
    }
    ASSERT_TRUE(resolved);
    EXPECT_EQ(*resolved, c.resolved);
    EXPECT_EQ(relay::CanonicalUpstream(*resolved), resolved) << "the canonical form is stable";

    // Its relay URL holds nothing a lax reader could take for syntax, and reads back exactly.
    for (const relay::Kind kind :
         {relay::Kind::Channel, relay::Kind::Playlist, relay::Kind::Media}) {
        const QByteArray local = relay::LocalUrlFor(kRouteBase, kind, *resolved);
        ASSERT_TRUE(local.startsWith(kRouteBase.toByteArray()));
        for (const char ch : local.sliced(kRouteBase.size()))
            ASSERT_TRUE(std::isalnum(static_cast<unsigned char>(ch)) || ch == '/' || ch == '-' ||
                        ch == '_' || ch == '.')
                << local.constData();
        const auto target = relay::ParseLocalTarget(TargetOf(QString::fromLatin1(local)));
        ASSERT_TRUE(target) << local.constData();
        EXPECT_EQ(target->routeKey, "k3y");
        EXPECT_EQ(target->kind, kind);
        EXPECT_EQ(target->upstreamUrl, *resolved);
    }
}

INSTANTIATE_TEST_SUITE_P(
    References, UpstreamReference,
    ::testing::Values(
        Reference{"relative", "seg1.ts", "http://origin:8080/hls/ch1/seg1.ts"},
        Reference{"root_relative", "/other/seg.ts", "http://origin:8080/other/seg.ts"},
        Reference{"dot_segments", "../ch2/./seg.ts", "http://origin:8080/hls/ch2/seg.ts"},
        Reference{"above_the_root", "../../../x.ts", "http://origin:8080/x.ts"},
        Reference{"query_only", "?n=2", "http://origin:8080/hls/ch1/index.m3u8?n=2"},
        Reference{"network_path_is_another_host", "//cdn2/seg.ts", "http://cdn2/seg.ts"},
        Reference{"absolute_upper_case", "HTTPS://CDN:0444/a/b.ts?x=1&y=%2F#t=10",
                  "https://cdn:444/a/b.ts?x=1&y=%2F"},
        Reference{"no_path", "http://h:81", "http://h:81/"},
        Reference{"user_info", "http://user:pw@h/x.ts", "http://user:pw@h/x.ts"},
        Reference{"ipv6_host", "http://[::1]:8080/live/x.ts", "http://[::1]:8080/live/x.ts"},
        Reference{"underscore_host", "http://my_host/x.ts", "http://my_host/x.ts"},
        Reference{"space_and_chinese", "频道 1.ts",
                  "http://origin:8080/hls/ch1/%E9%A2%91%E9%81%93%201.ts"},
        Reference{"odd_path_bytes", "a\\b|c^d{e}\"f<g>`h.ts",
                  "http://origin:8080/hls/ch1/a%5Cb%7Cc%5Ed%7Be%7D%22f%3Cg%3E%60h.ts"},
        Reference{"stray_percent", "a%zz%2f.ts?q=%",
                  "http://origin:8080/hls/ch1/a%25zz%2f.ts?q=%25"},
        // What walked around the old rewriter: an authority libvlc reads one way and a strict
        // parser another. None of it is a host and port.
        Reference{"backslash_after_port", "http://127.0.0.1:8080\\x/seg.ts", ""},
        Reference{"bar_after_port", "http://127.0.0.1:8080|x/seg.ts", ""},
        Reference{"caret_after_port", "http://127.0.0.1:8080^x/seg.ts", ""},
        Reference{"braces_after_port", "http://127.0.0.1:8080{x}/seg.ts", ""},
        Reference{"quote_after_port", "http://127.0.0.1:8080\"x/seg.ts", ""},
        Reference{"angles_after_port", "http://127.0.0.1:8080<x>/seg.ts", ""},
        Reference{"backtick_after_port", "http://127.0.0.1:8080`x/seg.ts", ""},
        Reference{"space_after_port", "http://127.0.0.1:8080 x/seg.ts", ""},
        Reference{"escaped_nul_after_port", "http://127.0.0.1:8080%00/seg.ts", ""},
        Reference{"escaped_slash_in_host", "http://127.0.0.1%2f:8080/seg.ts", ""},
        Reference{"second_port", "http://127.0.0.1:8080:8081/seg.ts", ""},
        Reference{"plus_port", "http://127.0.0.1:+8080/seg.ts", ""},
        Reference{"bracketed_ipv4", "http://[192.168.10.11]:8081/hls/index.m3u8", ""},
        Reference{"ipv6_zone", "http://[fe80::1%25eth0]/x", ""},
        Reference{"port_zero", "http://h:0/x", ""},
        Reference{"port_too_big", "http://h:65536/x", ""},
        Reference{"empty_port", "http://h:/x", ""}, Reference{"empty_host", "http:///x", ""},
        Reference{"two_at_signs", "http://a@b@c/x", ""}, Reference{"no_slashes", "http:seg.ts", ""},
        Reference{"ftp", "ftp://h/x.ts", ""}, Reference{"rtsp", "rtsp://h/x", ""},
        Reference{"file", "file:///etc/passwd", ""}, Reference{"smb", "smb://h/share/x.ts", ""},
        Reference{"data", "data:text/plain,abc", ""}, Reference{"key_system", "skd://key-id", ""},
        Reference{"multicast", "udp://@224.1.1.1:1234", ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct Target
{
    const char* name;
    QByteArray target;
};

class RequestTarget : public ::testing::TestWithParam<Target>
{};

QByteArray token(QByteArrayView url)
{
    return url.toByteArray().toBase64(QByteArray::Base64UrlEncoding |
                                      QByteArray::OmitTrailingEquals);
}

TEST_P(RequestTarget, IsRefusedUnlessTheRelayWroteIt)
{
    EXPECT_FALSE(relay::ParseLocalTarget(GetParam().target));
}

INSTANTIATE_TEST_SUITE_P(
    Targets, RequestTarget,
    ::testing::Values(Target{"root", "/"}, Target{"key_only", "/k"},
                      Target{"no_token", "/k/media/"},
                      Target{"no_name", "/k/media/" + token("http://h/x")},
                      Target{"extra_segment", "/k/media/" + token("http://h/x") + "/x/y"},
                      Target{"empty_key", "//media/" + token("http://h/x") + "/x"},
                      Target{"unknown_kind", "/k/file/" + token("http://h/x") + "/x"},
                      Target{"refused", "/k/refused"},
                      Target{"relative", "k/media/" + token("http://h/x") + "/x"},
                      Target{"padded_token", "/k/media/" + token("http://h/x1") + "==/x"},
                      Target{"plain_base64",
                             "/k/media/" + QByteArray("http://h/x?").toBase64() + "/x"},
                      // Decodes, but to nothing the relay would have written.
                      Target{"not_canonical", "/k/media/" + token("http://H/x") + "/x"},
                      Target{"other_scheme", "/k/media/" + token("file:///etc/passwd") + "/x"},
                      Target{"odd_authority", "/k/media/" + token("http://h:1:2/x") + "/x"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RequestTarget, AbsoluteFormIsReadAsItsPath)
{
    const auto parsed = relay::ParseLocalTarget("http://127.0.0.1:4000/k/list/" +
                                                token("https://h/a.m3u8") + "/a.m3u8");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->kind, relay::Kind::Playlist);
    EXPECT_EQ(parsed->upstreamUrl, "https://h/a.m3u8");
}

} // namespace
