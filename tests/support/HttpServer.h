#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// A real HTTP server on loopback, run as a child process for the life of the object.
// See http_server.py for the modes.
class HttpServer
{
public:
    explicit HttpServer(const QStringList& modeAndArgs);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    quint16 port() const { return m_port; }
    // Requests read so far, each as "METHOD /path".
    QStringList requests();

private:
    QProcess m_process;
    quint16 m_port = 0;
    QByteArray m_output;
};
