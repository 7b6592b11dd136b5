#include "RelayTestKit.h"

#include "UniqueFd.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QUrl>
#include <algorithm>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

ScriptServer::ScriptServer(const QString& script, const QStringList& args)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("python3"), QStringList{script} + args);
    QElapsedTimer clock;
    clock.start();
    while (m_port == 0 && clock.elapsed() < 10000 && m_process.state() != QProcess::NotRunning) {
        read(100);
        if (!m_lines.isEmpty() && m_lines.first().startsWith(u"PORT "))
            m_port = quint16(m_lines.takeFirst().mid(5).toUInt());
    }
    if (m_port == 0)
        ADD_FAILURE() << "the test server " << script.toStdString() << " did not start";
}

ScriptServer::~ScriptServer()
{
    m_process.kill();
    m_process.waitForFinished(5000);
}

QString Folder::put(const QString& name, const QByteArray& bytes) const
{
    QString file = m_dir.filePath(name);
    QDir().mkpath(QFileInfo(file).path());
    QFile out(file);
    EXPECT_TRUE(out.open(QIODevice::WriteOnly)) << file.toStdString();
    out.write(bytes);
    return file;
}

QString LoopbackUrl(quint16 port, const QString& path)
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path);
}

void ScriptServer::read(int waitMs)
{
    m_process.waitForReadyRead(waitMs);
    m_pending += m_process.readAllStandardOutput();
    for (qsizetype end = m_pending.indexOf('\n'); end >= 0; end = m_pending.indexOf('\n')) {
        m_lines << QString::fromUtf8(m_pending.first(end));
        m_pending.remove(0, end + 1);
    }
}

QStringList ScriptServer::lines()
{
    read(0);
    return m_lines;
}

bool ScriptServer::waitForLine(const std::function<bool(const QString&)>& wanted,
                               std::chrono::milliseconds timeout)
{
    return WaitUntil(
        [&] {
            const QStringList all = lines();
            return std::any_of(all.cbegin(), all.cend(), wanted);
        },
        timeout);
}

void ScriptServer::command(const QByteArray& line)
{
    m_process.write(line + '\n');
    m_process.waitForBytesWritten(1000);
}

OriginServer::OriginServer(const QString& folder)
    : ScriptServer(QStringLiteral(CORVESSA_ORIGIN_SERVER), {folder})
{}

QStringList OriginServer::requests(bool direct)
{
    QStringList found;
    for (const QString& line : lines()) {
        if (!line.startsWith(u"REQUEST "))
            continue;
        const qsizetype via = line.lastIndexOf(u" via=");
        if (!direct || line.endsWith(u"via=0"))
            found << line.mid(8, via - 8);
    }
    return found;
}

namespace {

void parseHead(QByteArrayView head, HttpReply& reply)
{
    bool first = true;
    for (QByteArrayView line : head.toByteArray().split('\n')) {
        line = line.trimmed();
        if (first) {
            first = false;
            const QList<QByteArray> words = line.toByteArray().split(' ');
            if (words.size() >= 2 && words[0].startsWith("HTTP/1."))
                reply.status = words[1].toInt();
            continue;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            reply.headers.insert(line.first(colon).trimmed().toByteArray().toLower(),
                                 line.sliced(colon + 1).trimmed().toByteArray());
    }
}

} // namespace

HttpReply Exchange(quint16 port, const QByteArray& head, std::chrono::milliseconds timeout,
                   std::atomic<qsizetype>* received, std::atomic<bool>* sent)
{
    HttpReply reply;
    QElapsedTimer clock;
    clock.start();
    const posix::UniqueFd socket = ConnectTo(port);
    const int fd = socket.get();
    timeval slice{0, 100000}; // 100 ms at a time, to watch the deadline
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);
    QByteArray data;
    if (socket.valid() &&
        send(fd, head.constData(), size_t(head.size()), MSG_NOSIGNAL) == head.size()) {
        if (sent != nullptr)
            *sent = true;
        char buffer[65536];
        while (clock.elapsed() < timeout.count()) {
            const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            if (got > 0) {
                data.append(buffer, got);
                if (received != nullptr)
                    *received = data.size();
            } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                reply.closedByServer = true;
                reply.reset = got < 0 && errno == ECONNRESET;
                break;
            }
        }
    }
    reply.elapsed = std::chrono::milliseconds(clock.elapsed());
    const qsizetype end = data.indexOf("\r\n\r\n");
    if (end >= 0) {
        parseHead(QByteArrayView(data).first(end), reply);
        reply.body = data.sliced(end + 4);
    }
    return reply;
}

QByteArray TargetOf(const QString& url)
{
    const QByteArray bytes = url.toLatin1();
    const qsizetype path = bytes.indexOf('/', bytes.indexOf("://") + 3);
    return path < 0 ? QByteArray("/") : bytes.sliced(path);
}

quint16 PortOf(const QString& url)
{
    return quint16(QUrl(url).port());
}

HttpReply Fetch(const QString& url, const QList<QByteArray>& headers, const QByteArray& method,
                std::chrono::milliseconds timeout, std::atomic<qsizetype>* received)
{
    QByteArray head = method + ' ' + TargetOf(url) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (const QByteArray& line : headers)
        head += line + "\r\n";
    head += "\r\n";
    return Exchange(PortOf(url), head, timeout, received);
}

posix::UniqueFd ConnectTo(quint16 port, int receiveBuffer)
{
    posix::UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (receiveBuffer > 0)
        setsockopt(client.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        client.reset();
    return client;
}

QByteArray RouteBaseOf(const QString& localUrl)
{
    const QByteArray url = localUrl.toLatin1();
    return url.first(url.indexOf('/', url.indexOf('/', 7) + 1) + 1);
}

QString RelayUrlOf(const QString& localUrl, relay::Kind kind, const QString& upstream)
{
    const std::optional<QByteArray> canonical = relay::CanonicalUpstream(upstream.toUtf8());
    if (!canonical) {
        ADD_FAILURE() << "not an upstream URL: " << upstream.toStdString();
        return {};
    }
    return QString::fromLatin1(relay::LocalUrlFor(RouteBaseOf(localUrl), kind, *canonical));
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() >= timeout.count())
            return false;
        QThread::msleep(20);
    }
    return true;
}
