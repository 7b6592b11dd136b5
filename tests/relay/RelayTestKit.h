#pragma once

#include "Address.h"
#include "StreamRelay.h"
#include "UniqueFd.h"

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <optional>

// Real servers and a plain socket client for the relay's tests.

using namespace std::chrono_literals;

// Files in a temporary folder.
class Folder
{
public:
    QString path() const { return m_dir.path(); }
    // Writes `name` (folders made as needed); its path.
    QString put(const QString& name, const QByteArray& bytes) const;

private:
    QTemporaryDir m_dir;
};

// "http://127.0.0.1:PORT" + `path`.
QString LoopbackUrl(quint16 port, const QString& path);

// A Python server run as a child process for the life of the object. It prints "PORT <n>" first,
// then event lines; commands go to its standard input.
class ScriptServer
{
public:
    ScriptServer(const QString& script, const QStringList& args);
    ~ScriptServer();
    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;

    quint16 port() const { return m_port; }
    QString url(const QString& path) const { return LoopbackUrl(m_port, path); }

    // Every event line so far.
    QStringList lines();
    // Waits until some event line satisfies `wanted`; false after `timeout`.
    bool waitForLine(const std::function<bool(const QString&)>& wanted,
                     std::chrono::milliseconds timeout);
    void command(const QByteArray& line);

private:
    void read(int waitMs);

    QProcess m_process;
    quint16 m_port = 0;
    QByteArray m_pending;
    QStringList m_lines;
};

// The folder of the storage-server stand-in (origin_server.py), with its files.
class OriginServer : public ScriptServer
{
public:
    explicit OriginServer(const QString& folder);
    // "METHOD TARGET" of each request, in order; `direct`: only those that did not come through
    // the relay.
    QStringList requests(bool direct = false);
};

struct HttpReply
{
    int status = 0;                       // 0: no status line came
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
    bool closedByServer = false; // false: the client gave up at its timeout
    bool reset = false;          // closed with a reset rather than an orderly end
    std::chrono::milliseconds elapsed{0};

    bool has(const QByteArray& name) const { return headers.contains(name); }
    QByteArray header(const QByteArray& name) const { return headers.value(name); }
};

// Sends `head` (a request head, whole or not) to 127.0.0.1:`port` and reads until the server
// closes, blocking in recv() as libvlc does; gives up after `timeout`. `received`, if given,
// counts the bytes as they come, and `sent` is set once the head is sent, for another thread to
// watch.
HttpReply Exchange(quint16 port, const QByteArray& head,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20),
                   std::atomic<qsizetype>* received = nullptr, std::atomic<bool>* sent = nullptr);

// A request for `url` (http://127.0.0.1:PORT/...), with extra header lines.
HttpReply Fetch(const QString& url, const QList<QByteArray>& headers = {},
                const QByteArray& method = "GET",
                std::chrono::milliseconds timeout = std::chrono::seconds(20),
                std::atomic<qsizetype>* received = nullptr);

// The request target of a loopback `url`, and its port.
QByteArray TargetOf(const QString& url);
quint16 PortOf(const QString& url);

// A plain TCP connection to 127.0.0.1:`port`, with a receive buffer of `receiveBuffer` bytes
// when given; invalid when it could not connect.
posix::UniqueFd ConnectTo(quint16 port, int receiveBuffer = 0);

// The route's "http://127.0.0.1:PORT/KEY/" in a route's local URL.
QByteArray RouteBaseOf(const QString& localUrl);
// The relay URL a playlist of the route of `localUrl` gives `upstream` (absolute) as `kind`.
QString RelayUrlOf(const QString& localUrl, relay::Kind kind, const QString& upstream);

// Polls `condition` every 20 ms until it holds; false after `timeout`.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// A started relay, and files for the servers behind it.
class RelayTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_relay->Start()); }

    // A route to `upstream` through a relay with `limits` in place of the one there was.
    std::shared_ptr<relay::Route> open(const QString& upstream,
                                       std::optional<relay::Limits> limits = {})
    {
        if (limits) {
            m_relay.emplace(*limits);
            EXPECT_TRUE(m_relay->Start());
        }
        std::shared_ptr<relay::Route> route = m_relay->Open(upstream);
        EXPECT_TRUE(route) << upstream.toStdString();
        return route;
    }

    Folder m_files;
    std::optional<relay::StreamRelay> m_relay{std::in_place};
};
