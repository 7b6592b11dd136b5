#pragma once

#include <QString>

// Whether Qt can show the program's windows to a viewer, told before and after Qt starts.
//
// Qt gives no good answer of its own: with no display it ends the process through qFatal with
// "Reinstalling the application may fix this problem", and on the offscreen or minimal platform
// it runs for ever with nothing on screen. These turn both into one line that says what is
// missing, which the program prints before it exits with status 1.

// The environment variables that choose Qt's platform and the display it connects to.
struct DisplayEnvironment
{
    QString platform;       // QT_QPA_PLATFORM: "name[:arguments]", several separated by ';'
    QString display;        // DISPLAY, for X11
    QString waylandDisplay; // WAYLAND_DISPLAY
};

DisplayEnvironment CurrentDisplayEnvironment();

// The platform to ask Qt for: xcb (XWayland on a Wayland desktop) whenever an X11 display is
// there and the user did not choose a platform. The program is made and tried on X11, and its
// package does not pull in Qt's Wayland plugin.
QString PreferredPlatform(const DisplayEnvironment& env);

// Before Qt starts: why none of the platforms `env` asks for can show a window, or an empty
// string when one of them may. With no platform asked for, Qt tries xcb, or wayland in a Wayland
// session.
QString MissingDisplay(const DisplayEnvironment& env);

// After Qt started on `platformName`: why that platform shows nothing to a viewer, or an empty
// string when it does.
QString InvisiblePlatform(const QString& platformName);

// Qt could start none of the platforms `env` asks for (its display could not be reached).
QString UnreachableDisplay(const DisplayEnvironment& env);
