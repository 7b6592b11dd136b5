#pragma once

#include <QString>

// One switch for the whole process, set from --verbose before anything else starts: with it on,
// the program tells on standard error what it does (libvlc's log, lookups, reopened streams).
// Safe to call from any thread, libvlc's log callback included.

void SetVerbose(bool on);
bool Verbose();

// Writes `line` and a line break to standard error when verbose, nothing otherwise. Line breaks
// inside `line` become spaces, so that one call is always one whole line, never split by
// another thread's.
void Trace(const QString& line);
