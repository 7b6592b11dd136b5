#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// Channel lists laid out as storage servers write them: one record per channel, the URL as its
// last value, CR LF before each "}". Padded with Chinese text so that the body runs well past
// 1024 bytes and its three-byte characters straddle the 1024-byte reads.
inline QByteArray StorageChannelList(const QByteArray& urlPrefix, int firstChannel, int lastChannel)
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

class TempFiles
{
public:
    QString put(const char* name, const QByteArray& bytes)
    {
        const QString path = m_dir.filePath(QString::fromLatin1(name));
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return path;
    }

private:
    QTemporaryDir m_dir;
};
