#include "HttpServer.h"

#include <gtest/gtest.h>

HttpServer::HttpServer(const QStringList& modeAndArgs)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("python3"),
                    QStringList{QStringLiteral(CORVESSA_HTTP_SERVER)} + modeAndArgs);
    while (!m_output.contains('\n') && m_process.waitForReadyRead(10000))
        m_output += m_process.readAllStandardOutput();
    const QByteArray first = m_output.left(m_output.indexOf('\n'));
    if (!first.startsWith("PORT "))
        ADD_FAILURE() << "the test HTTP server did not start: " << m_output.constData();
    m_port = quint16(first.mid(5).toUInt());
    m_output.remove(0, first.size() + 1);
}

HttpServer::~HttpServer()
{
    m_process.kill();
    m_process.waitForFinished(5000);
}

QStringList HttpServer::requests()
{
    m_process.waitForReadyRead(50);
    m_output += m_process.readAllStandardOutput();
    QStringList lines;
    for (const QByteArray& line : m_output.split('\n'))
        if (line.startsWith("REQUEST "))
            lines << QString::fromLatin1(line.mid(8));
    return lines;
}
