#include "Fetch.h"

#include "ChannelListFiles.h"
#include "HttpServer.h"
#include "Listeners.h"
#include "PeakMemory.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

QString url(quint16 port)
{
    return QStringLiteral("http://127.0.0.1:%1/hls/storage_tasks.json").arg(port);
}

struct BodyCase
{
    const char* name;
    QStringList mode; // the body file is appended
    QByteArray body;
    QString text;
    qsizetype maxBodyBytes; // 0: the program's
};

void PrintTo(const BodyCase& c, std::ostream* os)
{
    *os << c.name;
}

class FetchBody : public ::testing::TestWithParam<BodyCase>
{};

TEST_P(FetchBody, IsDecodedWhole)
{
    const BodyCase& c = GetParam();
    TempFiles files;
    HttpServer server(QStringList(c.mode) << files.put("body", c.body));
    locator::FetchLimits limits;
    if (c.maxBodyBytes > 0)
        limits.maxBodyBytes = c.maxBodyBytes;
    EXPECT_EQ(locator::FetchChannelList(url(server.port()), limits), c.text);
    EXPECT_EQ(server.requests(), QStringList{u"GET /hls/storage_tasks.json"_qs});
}

// Padded with Chinese text, its three-byte characters straddle the 1024-byte reads.
const QByteArray kList = StorageChannelList("http://192.168.10.11", 1, 6);

INSTANTIATE_TEST_SUITE_P(Servers, FetchBody,
                         ::testing::Values(BodyCase{"characters_split_across_reads",
                                                    {u"serve"_qs},
                                                    kList,
                                                    QString::fromUtf8(kList),
                                                    0},
                                           BodyCase{"exactly_at_the_size_bound",
                                                    {u"serve"_qs},
                                                    kList,
                                                    QString::fromUtf8(kList),
                                                    kList.size()},
                                           BodyCase{"error_page",
                                                    {u"status"_qs, u"404"_qs},
                                                    "<h1>Not Found</h1>",
                                                    u"<h1>Not Found</h1>"_qs,
                                                    0},
                                           BodyCase{"invalid_utf8_and_text_ends_at_nul",
                                                    {u"serve"_qs},
                                                    QByteArray("ok\xFF\xC3 end\0after", 14),
                                                    u"ok\uFFFD\uFFFD end"_qs,
                                                    0},
                                           BodyCase{"empty", {u"serve"_qs}, "", QString(), 0}),
                         [](const auto& info) { return std::string(info.param.name); });

struct FailureCase
{
    const char* name;
    QStringList mode; // the list is appended for "serve", "reset" and "stall"
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
    if (mode.front() == u"serve"_qs || mode.front() == u"reset"_qs || mode.front() == u"stall"_qs)
        mode << files.put("list.json", kList);
    std::unique_ptr<HttpServer> server;
    if (mode.front() != u"refused"_qs)
        server = std::make_unique<HttpServer>(mode);
    // The program waits ten seconds for a byte, thirty for the list, and takes 16 MiB; the
    // tests, less.
    locator::FetchLimits limits;
    limits.stallTimeout = 1s;
    limits.totalTimeout = 2s;
    limits.maxBodyBytes = kList.size() - 1;
    QElapsedTimer clock;
    clock.start();
    EXPECT_THROW(locator::FetchChannelList(url(server ? server->port() : ClosedPort()), limits),
                 locator::FetchError);
    EXPECT_GE(clock.elapsed(), c.atLeastMs);
    EXPECT_LE(clock.elapsed(), c.atMostMs);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, FetchFailure,
    ::testing::Values(FailureCase{"refused", {u"refused"_qs}, 0, 2000},
                      FailureCase{"closed_at_once", {u"close"_qs}, 0, 2000},
                      FailureCase{"reset_mid_body", {u"reset"_qs, u"1500"_qs}, 0, 2000},
                      FailureCase{"one_byte_over_the_size_bound", {u"serve"_qs}, 0, 2000},
                      FailureCase{"endless_hits_the_size_bound", {u"endless"_qs}, 0, 2000},
                      FailureCase{
                          "stall_hits_the_stall_limit", {u"stall"_qs, u"1500"_qs}, 900, 2500},
                      FailureCase{"silence_hits_the_stall_limit", {u"silent"_qs}, 900, 2500},
                      FailureCase{"trickle_hits_the_total_limit", {u"trickle"_qs}, 1900, 3000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FetchLimits, TheProgramsOwnHoldAHundredMegabyteListToItsBound)
{
    EXPECT_EQ(locator::FetchLimits{}.stallTimeout, 10s);
    EXPECT_EQ(locator::FetchLimits{}.totalTimeout, 30s);
    TempFiles files;
    QByteArray list = kList + QByteArray(100 * 1024 * 1024 - kList.size(), ' ');
    HttpServer server({u"serve"_qs, files.put("huge.json", list)});
    list.clear();
    list.squeeze();
    const long before = PeakResidentKb();
    EXPECT_THROW(locator::FetchChannelListBody(url(server.port())), locator::FetchError);
    EXPECT_LT(PeakResidentKb() - before, 64 * 1024) << "the download stops at 16 MiB";
}

} // namespace
