#include "Fetch.h"

#include "ChannelListFiles.h"
#include "HttpServer.h"
#include "Listeners.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

QString url(quint16 port)
{
    return QStringLiteral("http://127.0.0.1:%1/hls/storage_tasks.json").arg(port);
}

TEST(Fetch, DecodesCharactersSplitAcrossReads)
{
    TempFiles files;
    const QByteArray body = StorageChannelList("http://192.168.10.11", 1, 6);
    ASSERT_GT(body.size(), 4 * 1024);
    // A three-byte character straddles at least one 1024-byte boundary.
    bool straddles = false;
    for (qsizetype at = 1024; at < body.size(); at += 1024)
        straddles |= (uchar(body[at]) & 0xC0) == 0x80;
    ASSERT_TRUE(straddles);

    HttpServer server({u"serve"_qs, files.put("list.json", body)});
    EXPECT_EQ(locator::FetchChannelList(url(server.port())), QString::fromUtf8(body));
    EXPECT_EQ(server.requests(), QStringList{u"GET /hls/storage_tasks.json"_qs});
}

TEST(Fetch, ErrorPagesAreReadLikeAnyBody)
{
    TempFiles files;
    HttpServer server({u"status"_qs, u"404"_qs, files.put("404.html", "<h1>Not Found</h1>")});
    EXPECT_EQ(locator::FetchChannelList(url(server.port())), u"<h1>Not Found</h1>"_qs);
}

TEST(Fetch, InvalidUtf8BecomesReplacementAndTextEndsAtNul)
{
    TempFiles files;
    HttpServer server(
        {u"serve"_qs, files.put("bad.json", QByteArray("ok\xFF\xC3 end\0after", 14))});
    EXPECT_EQ(locator::FetchChannelList(url(server.port())), u"ok\uFFFD\uFFFD end"_qs);
}

TEST(Fetch, EmptyBodyIsEmptyText)
{
    TempFiles files;
    HttpServer server({u"serve"_qs, files.put("empty.json", "")});
    EXPECT_EQ(locator::FetchChannelList(url(server.port())), QString());
}

struct FailureCase
{
    const char* name;
    QStringList mode; // the body file is appended
    locator::FetchLimits limits;
    qint64 atLeastMs;
    qint64 atMostMs;
};

void PrintTo(const FailureCase& c, std::ostream* os)
{
    *os << c.name;
}

class FetchFailure : public ::testing::TestWithParam<FailureCase>
{};

TEST_P(FetchFailure, EndsWithAnErrorWithinItsBound)
{
    const FailureCase& c = GetParam();
    TempFiles files;
    QStringList mode = c.mode;
    if (mode.front() == u"reset"_qs || mode.front() == u"stall"_qs)
        mode << files.put("list.json", StorageChannelList("http://h", 1, 6));
    HttpServer server(mode);
    QElapsedTimer clock;
    clock.start();
    EXPECT_THROW(locator::FetchChannelList(url(server.port()), c.limits), locator::FetchError);
    EXPECT_GE(clock.elapsed(), c.atLeastMs);
    EXPECT_LE(clock.elapsed(), c.atMostMs);
}

locator::FetchLimits shortLimits()
{
    locator::FetchLimits limits;
    limits.stallTimeout = 1s;
    limits.totalTimeout = 2s;
    return limits;
}

INSTANTIATE_TEST_SUITE_P(
    Servers, FetchFailure,
    ::testing::Values(
        FailureCase{"reset_mid_body", {u"reset"_qs, u"1500"_qs}, {}, 0, 2000},
        FailureCase{"endless_hits_size_limit", {u"endless"_qs}, {}, 0, 10000},
        FailureCase{"stall_hits_stall_limit", {u"stall"_qs, u"1500"_qs}, shortLimits(), 900, 2500},
        FailureCase{"trickle_hits_total_limit", {u"trickle"_qs}, shortLimits(), 1900, 3000},
        FailureCase{"closed_at_once", {u"close"_qs}, {}, 0, 2000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Fetch, RefusedConnectionThrows)
{
    EXPECT_THROW(locator::FetchChannelList(url(ClosedPort())), locator::FetchError);
}

} // namespace
