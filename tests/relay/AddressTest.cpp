// Upstream locations: what a playlist or a channel list names must resolve to exactly one URL
// the relay can route, or to none; and a relay URL must come back out of libvlc's request as
// exactly the URL it was made from, and nothing else may be taken for one.
#include "Address.h"

#include "RelayTestKit.h"
#include "TestNames.h"

#include <gtest/gtest.h>

namespace {

constexpr QByteArrayView kRouteBase = "http://127.0.0.1:4000/k3y/";
constexpr QByteArrayView kBase = "http://origin:8080/hls/ch1/index.m3u8?s=1";

struct Reference
{
    const char* name;
    QByteArrayView reference;
    const char* resolved;
};

class UpstreamReference : public ::testing::TestWithParam<Reference>
{};

TEST_P(UpstreamReference, ResolvesToOneRoutableUrl)
{
    const Reference& c = GetParam();
    const std::optional<QByteArray> resolved = relay::Resolve(kBase, c.reference);
    ASSERT_TRUE(resolved);
    if (c.reference.startsWith("http") || c.reference.startsWith("HTTP")) {
        EXPECT_TRUE(relay::IsRelayable(QString::fromUtf8(c.reference)));
    }
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
        // As libvlc asks for it, and as a client that takes the relay for a proxy does.
        for (const QByteArray& asked : {TargetOf(QString::fromLatin1(local)), local}) {
            const auto target = relay::ParseLocalTarget(asked);
            ASSERT_TRUE(target) << asked.constData();
            EXPECT_EQ(target->routeKey, "k3y");
            EXPECT_EQ(target->kind, kind);
            EXPECT_EQ(target->upstreamUrl, *resolved);
        }
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
                  "http://origin:8080/hls/ch1/a%25zz%2f.ts?q=%25"}),
    ByName());

TEST(UpstreamReference, ResolvesToNoneWhenTheRelayCannotRouteIt)
{
    for (const char* reference :
         {// What walked around the old rewriter: an authority libvlc reads one way and a
          // strict parser another. None of it is a host and port.
          "http://127.0.0.1:8080\\x/seg.ts", "http://127.0.0.1:8080|x/seg.ts",
          "http://127.0.0.1:8080^x/seg.ts", "http://127.0.0.1:8080{x}/seg.ts",
          "http://127.0.0.1:8080\"x/seg.ts", "http://127.0.0.1:8080<x>/seg.ts",
          "http://127.0.0.1:8080`x/seg.ts", "http://127.0.0.1:8080 x/seg.ts",
          "http://127.0.0.1:8080%00/seg.ts", "http://127.0.0.1:8080%2f/seg.ts",
          "http://127.0.0.1%2f:8080/seg.ts", "http://127.0.0.1:8080:8081/seg.ts",
          "http://127.0.0.1:+8080/seg.ts", "http://[192.168.10.11]:8081/hls/index.m3u8",
          "http://[fe80::1%25eth0]/x", "http://h:0/x", "http://h:65536/x", "http://h:/x",
          "http:///x", "http://a@b@c/x", "http:seg.ts",
          // Other schemes.
          "ftp://h/x.ts", "rtsp://h/x", "file:///etc/passwd", "smb://h/share/x.ts",
          "data:text/plain,abc", "skd://key-id", "udp://@224.1.1.1:1234"}) {
        EXPECT_FALSE(relay::Resolve(kBase, reference)) << reference;
        EXPECT_FALSE(relay::IsRelayable(QString::fromUtf8(reference))) << reference;
    }
}

QByteArray token(QByteArrayView url)
{
    return url.toByteArray().toBase64(QByteArray::Base64UrlEncoding |
                                      QByteArray::OmitTrailingEquals);
}

TEST(RequestTarget, IsRefusedUnlessTheRelayWroteIt)
{
    const QByteArray x = token("http://h/x");
    for (const QByteArray& target : std::initializer_list<QByteArray>{
             "/", "/k", "/k/media/", "/k/media/" + x, "/k/media/" + x + "/x/y",
             "//media/" + x + "/x", "/k/file/" + x + "/x", "/k/refused", "k/media/" + x + "/x",
             "/k/media/" + token("http://h/x1") + "==/x",
             "/k/media/" + QByteArray("http://h/x?").toBase64() + "/x",
             // They decode, but to nothing the relay would have written.
             "/k/media/" + token("http://H/x") + "/x",
             "/k/media/" + token("file:///etc/passwd") + "/x",
             "/k/media/" + token("http://h:1:2/x") + "/x"})
        EXPECT_FALSE(relay::ParseLocalTarget(target)) << target.constData();
}

} // namespace
