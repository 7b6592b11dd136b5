#include "TestClips.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QProcess>

QString MakeClip(const QString& name, const QString& source, int frames, const QStringList& output)
{
    const QString folder = QStringLiteral(CORVESSA_TEST_MEDIA);
    QDir().mkpath(folder);
    QLockFile lock(folder + QStringLiteral("/.lock"));
    // An 8K clip takes a while to make on a loaded machine: another binary waits for it.
    lock.setStaleLockTime(300000);
    if (!lock.tryLock(300000))
        return {};
    const QString clip = folder + u'/' + name + QStringLiteral(".ts");
    if (QFile::exists(clip))
        return clip;
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 QStringList{"-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i", source,
                             "-frames:v", QString::number(frames)} +
                     output +
                     QStringList{"-muxdelay", "0", "-muxpreload", "0", "-f", "mpegts",
                                 clip + QStringLiteral(".part")});
    if (!ffmpeg.waitForFinished(120000) || ffmpeg.exitCode() != 0)
        return {};
    return QFile::rename(clip + QStringLiteral(".part"), clip) ? clip : QString();
}
