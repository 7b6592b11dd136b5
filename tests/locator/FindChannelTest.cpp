// The download of a channel list, and the whole lookup: without windows, as the channel window
// runs it on a worker thread, and with the message box the program shows for a failure.
#include "ChannelLocator.h"
#include "ChannelLookup.h"
#include "Fetch.h"
#include "HttpServer.h"
#include "Listeners.h"
#include "ModalWatcher.h"
#include "PeakMemory.h"
#include "TestNames.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QWidget>
#include <future>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

using locator::LocateFailure;

// Channel lists laid out as storage servers write them: one record per channel, the URL as its
// last value, CR LF before each "}". Padded with Chinese text so that the body runs well past
// 1024 bytes and its three-byte characters straddle the 1024-byte reads.
QByteArray StorageChannelList(const QByteArray& urlPrefix, int firstChannel, int lastChannel)
{
    QByteArray out = "[\r\n";
    for (int n = firstChannel; n <= lastChannel; ++n) {
        out += "{\r\n\"名称\":\"频道" + QByteArray::number(n) + " " +
               QString(n * 150, u'频').toUtf8() + "\",\r\n\"source\":\"udp://224.1.1." +
               QByteArray::number(n) + ":1234\",\r\n\"url\":\"" + urlPrefix + "/hls/频道" +
               QByteArray::number(n) + "/index.m3u8\"\r\n}" + (n < lastChannel ? "," : "") + "\r\n";
    }
    return out + "]\r\n";
}

const QByteArray kList = StorageChannelList("http://a", 1, 6);

// An HTTP server in `mode` (http_server.py's arguments, separated by spaces), serving `body` from
// a file of its own when the mode takes a file.
class ListServer
{
public:
    ListServer(const QString& mode, const QByteArray& body) : m_server(withFile(mode, body)) {}
    quint16 port() const { return m_server.port(); }
    QStringList requests() { return m_server.requests(); }

private:
    QStringList withFile(const QString& mode, const QByteArray& body)
    {
        QStringList arguments = mode.split(u' ');
        if (QStringList{u"serve"_qs, u"status"_qs, u"reset"_qs, u"stall"_qs}.contains(
                arguments.front())) {
            QFile f(m_dir.filePath(u"body"_qs));
            EXPECT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(body);
            arguments << f.fileName();
        }
        return arguments;
    }
    QTemporaryDir m_dir;
    HttpServer m_server;
};

QString url(quint16 port)
{
    return QStringLiteral("http://127.0.0.1:%1/hls/storage_tasks.json").arg(port);
}

// A case prints as its name.
template <class Case> auto operator<<(std::ostream& os, const Case& c) -> decltype(os << c.name)
{
    return os << c.name;
}

struct BodyCase
{
    const char* name;
    const char16_t* mode;
    QByteArray body;
    QString text;
};

class FetchBody : public ::testing::TestWithParam<BodyCase>
{};

// Each body is taken whole with a bound of exactly its size.
TEST_P(FetchBody, IsDecodedWhole)
{
    const BodyCase& c = GetParam();
    ListServer server(QString::fromUtf16(c.mode), c.body);
    locator::FetchLimits limits;
    limits.maxBodyBytes = c.body.size();
    EXPECT_EQ(locator::FetchChannelList(url(server.port()), limits), c.text);
    EXPECT_EQ(server.requests(), QStringList{u"GET /hls/storage_tasks.json"_qs});
}

INSTANTIATE_TEST_SUITE_P(Servers, FetchBody,
                         ::testing::Values(BodyCase{"characters_split_across_reads", u"serve",
                                                    kList, QString::fromUtf8(kList)},
                                           BodyCase{"error_page", u"status 404",
                                                    "<h1>Not Found</h1>", u"<h1>Not Found</h1>"_qs},
                                           BodyCase{"invalid_utf8_and_text_ends_at_nul", u"serve",
                                                    QByteArray("ok\xFF\xC3 end\0after", 14),
                                                    u"ok\uFFFD\uFFFD end"_qs},
                                           BodyCase{"empty", u"serve", "", QString()}),
                         ByName());

struct FailureCase
{
    const char* name;
    const char16_t* mode; // null: nothing listens on the port
    qint64 atLeastMs;
    qint64 atMostMs;
};

class FetchFailure : public ::testing::TestWithParam<FailureCase>
{};

TEST_P(FetchFailure, EndsWithAnErrorWithinItsBound)
{
    const FailureCase& c = GetParam();
    std::unique_ptr<ListServer> server;
    if (c.mode)
        server = std::make_unique<ListServer>(QString::fromUtf16(c.mode), kList);
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
    ::testing::Values(FailureCase{"refused", nullptr, 0, 2000},
                      FailureCase{"closed_at_once", u"close", 0, 2000},
                      FailureCase{"reset_mid_body", u"reset 1500", 0, 2000},
                      FailureCase{"one_byte_over_the_size_bound", u"serve", 0, 2000},
                      FailureCase{"endless_hits_the_size_bound", u"endless", 0, 2000},
                      FailureCase{"stall_hits_the_stall_limit", u"stall 1500", 900, 2500},
                      FailureCase{"silence_hits_the_stall_limit", u"silent", 900, 2500},
                      FailureCase{"trickle_hits_the_total_limit", u"trickle", 1900, 3000}),
    ByName());

TEST(FetchLimits, TheProgramsOwnHoldAHundredMegabyteListToItsBound)
{
    EXPECT_EQ(locator::FetchLimits{}.stallTimeout, 10s);
    EXPECT_EQ(locator::FetchLimits{}.totalTimeout, 30s);
    std::optional<ListServer> server;
    {
        const QByteArray huge = kList + QByteArray(100 * 1024 * 1024 - kList.size(), ' ');
        server.emplace(u"serve"_qs, huge);
    }
    const long before = PeakResidentKb();
    EXPECT_THROW(locator::FetchChannelListBody(url(server->port())), locator::FetchError);
    EXPECT_LT(PeakResidentKb() - before, 64 * 1024) << "the download stops at 16 MiB";
}

locator::StorageServers serversAt(quint16 port)
{
    locator::StorageServers servers;
    servers.forChannels1to6 = "127.0.0.1";
    servers.forChannels7and8 = "127.0.0.2";
    servers.port = port;
    return servers;
}

// Channel 5's URL in kList replaced by `address`.
QByteArray listNaming(const QByteArray& address)
{
    QByteArray list = kList;
    const QByteArray before = "\"source\":\"udp://224.1.1.5:1234\",\r\n\"url\":\"";
    const qsizetype start = list.indexOf(before) + before.size();
    return list.replace(start, list.indexOf("\"\r\n}", start) - start, address);
}

struct FindCase
{
    const char* name;
    const char16_t* mode;                 // the server's; null: nothing listens on the port
    QByteArray body;                      // what it serves
    std::optional<LocateFailure> failure; // none: an address is found
    const char16_t* message;              // the box the program shows for the failure
};

class FindChannel : public ::testing::TestWithParam<FindCase>
{};

TEST_P(FindChannel, ReportsTheOutcomeItsAccountAndOneMessage)
{
    const FindCase& c = GetParam();
    std::unique_ptr<ListServer> server;
    if (c.mode)
        server = std::make_unique<ListServer>(QString::fromUtf16(c.mode), c.body);
    const int windowsBefore = int(QApplication::topLevelWidgets().size());
    QElapsedTimer clock;
    clock.start();
    locator::StorageServers servers = serversAt(server ? server->port() : ClosedPort());
    servers.limits.stallTimeout = 1s; // the program's is ten
    // On a thread of its own, as the channel window runs it.
    locator::LocateResult result = std::async(std::launch::async, [&] {
                                       return locator::FindChannel(5, false, servers);
                                   }).get();
    const qint64 lookupMs = clock.elapsed();
    EXPECT_LT(lookupMs, 5000) << "within the limits given";
    EXPECT_EQ(int(QApplication::topLevelWidgets().size()), windowsBefore) << "no window shown";

    EXPECT_EQ(result.server, QByteArray("127.0.0.1"));
    // The probe was made, and its time is in milliseconds, within the lookup's own.
    EXPECT_GE(result.probeMs, 0);
    EXPECT_LE(result.probeMs, lookupMs);
    EXPECT_EQ(result.probeSucceeded, c.failure != LocateFailure::Unreachable);
    EXPECT_EQ(result.listBytes,
              c.failure == LocateFailure::Unreachable || c.failure == LocateFailure::ListUnreadable
                  ? -1
                  : c.body.size());
    EXPECT_EQ(result.fetchError.isEmpty(), c.failure != LocateFailure::ListUnreadable);
    if (c.failure) {
        EXPECT_FALSE(result.address);
        EXPECT_EQ(int(result.failure), int(*c.failure));
    } else {
        EXPECT_EQ(result.address, u"http://a/hls/频道5/index.m3u8"_qs);
    }

    QWidget owner;
    ModalWatcher watcher;
    EXPECT_EQ(locator::LocateChannel(5, false, &owner, servers), result.address);
    QStringList messages;
    for (const auto& seen : watcher.seen()) {
        EXPECT_EQ(seen.title, u"提示"_qs);
        EXPECT_EQ(seen.owner, &owner);
        EXPECT_FALSE(seen.hasIcon);
        EXPECT_EQ(seen.buttonCount, 1);
        messages << seen.text;
    }
    EXPECT_EQ(messages, c.message ? QStringList{QString::fromUtf16(c.message)} : QStringList());
}

const char16_t* const kUnreachable = u"服务器网络不通，请与管理员联系！";
const char16_t* const kReadError = u"读取频道列表出错，请与管理员联系！";
const char16_t* const kParseError = u"解析播放地址出错，请与管理员联系！";

INSTANTIATE_TEST_SUITE_P(
    Servers, FindChannel,
    ::testing::Values(
        FindCase{"found", u"serve", kList, {}, nullptr},
        FindCase{"refused", nullptr, {}, LocateFailure::Unreachable, kUnreachable},
        FindCase{"closes_at_once", u"close", {}, LocateFailure::ListUnreadable, kReadError},
        FindCase{"reset_mid_body", u"reset 3000", kList, LocateFailure::ListUnreadable, kReadError},
        FindCase{"stalled_mid_body", u"stall 100", kList, LocateFailure::ListUnreadable,
                 kReadError},
        FindCase{
            "accepts_but_never_answers", u"silent", {}, LocateFailure::ListUnreadable, kReadError},
        FindCase{"error_page", u"status 500", "<html>Internal Server Error</html>",
                 LocateFailure::NoAddress, kParseError},
        // The text ends at the first NUL, as it always has: what follows is not read.
        FindCase{"nul_before_the_record", u"serve", "[\0"_qba + kList, LocateFailure::NoAddress,
                 kParseError},
        FindCase{"address_of_4097_bytes", u"serve", listNaming("http://a/" + QByteArray(4088, 'a')),
                 LocateFailure::NoAddress, kParseError},
        FindCase{"address_with_a_tab", u"serve", listNaming("http://a/hls/ch5\t/index.m3u8"),
                 LocateFailure::NoAddress, kParseError}),
    ByName());

TEST(FindChannelModes, MulticastAsksNoServer)
{
    ListServer server(u"serve"_qs, StorageChannelList("http://a", 1, 8));
    for (int channel = 1; channel <= 8; ++channel) {
        const locator::LocateResult result =
            locator::FindChannel(channel, true, serversAt(server.port()));
        EXPECT_EQ(result.address, QStringLiteral("udp://@224.1.1.%1:1234").arg(channel));
        EXPECT_TRUE(result.server.isEmpty());
        EXPECT_EQ(result.probeMs, -1);
        EXPECT_EQ(result.listBytes, -1);
    }
    EXPECT_TRUE(server.requests().isEmpty());
}

// Two servers, the first bound at `low` ("address port"), the second at `high` on the same port,
// each listing its own channels: every lookup fetches the list again, and lookups on many threads
// at once each get their own answer. A port of 0 in `servers` stands for the first server's.
void expectEachWorkerGetsItsOwnAnswer(const QString& low, const QString& high,
                                      locator::StorageServers servers)
{
    ListServer a(u"serve --bind "_qs + low, kList);
    ListServer b(u"serve --bind %1 %2"_qs.arg(high).arg(a.port()),
                 StorageChannelList("http://b", 7, 8));
    if (servers.port == 0)
        servers.port = a.port();
    std::vector<std::future<locator::LocateResult>> results;
    for (int i = 0; i < 16; ++i)
        results.push_back(std::async(std::launch::async, [&servers, i] {
            return locator::FindChannel(i % 8 + 1, false, servers);
        }));
    for (int i = 0; i < 16; ++i) {
        const int channel = i % 8 + 1;
        const QString host = channel > 6 ? u"http://b"_qs : u"http://a"_qs;
        EXPECT_EQ(results[i].get().address,
                  host + QStringLiteral("/hls/频道%1/index.m3u8").arg(channel))
            << "lookup " << i;
    }
    EXPECT_EQ(a.requests().size(), 12);
    EXPECT_EQ(b.requests().size(), 4);
}

TEST(FindChannelModes, ManyWorkersAtOnceEachGetTheirOwnAnswer)
{
    expectEachWorkerGetsItsOwnAnswer(u"127.0.0.1 0"_qs, u"127.0.0.2"_qs, serversAt(0));
}

TEST(FindChannelModes, BuiltInServersInsideTheTestNetwork)
{
    // The built-in addresses are only ever reached inside the private test network.
    if (!IsLocalAddress("192.168.10.11") || !IsLocalAddress("192.168.10.12"))
        GTEST_SKIP() << "not inside the test network namespace";
    expectEachWorkerGetsItsOwnAnswer(u"192.168.10.11 80"_qs, u"192.168.10.12"_qs, {});
}

} // namespace
