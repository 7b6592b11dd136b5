#pragma once

#include <QByteArrayView>

// The number of scans (start-of-scan segments) libjpeg would decode from `bytes`: 0 for anything
// that does not open with a JPEG start-of-image marker.
//
// A progressive JPEG's decode time grows with its scans times its pixels, not with its size in
// bytes: a scan of a few bytes can make the decoder visit every block of the picture once more.
// The walk follows libjpeg's own reading: segments are skipped by their length, bytes between
// segments (the entropy-coded data, or garbage) are passed over up to the next 0xFF that opens a
// marker, stuffed zeros and restart markers belong to the data, and the end-of-image marker ends
// the picture. A stream cut short counts the scans begun before the cut.
int CountJpegScans(QByteArrayView bytes);
