#pragma once

#include <QString>
#include <QStringList>

// A short MPEG-TS clip made by ffmpeg from one of its lavfi sources, once per build folder (the
// test binaries may run side by side: a lock file keeps them from making it twice), and kept.
// `output` holds ffmpeg's output options: codec, keyframes, sample aspect. Empty on failure.
QString MakeClip(const QString& name, const QString& source, int frames, const QStringList& output);
