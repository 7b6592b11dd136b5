#include "Display.h"

#include <QStringList>

namespace {

const QString kPrefix = QStringLiteral("quorvel: no display: ");
const QString kAdvice = QStringLiteral("set DISPLAY (X11) or run it on a desktop");

// The platform names in QT_QPA_PLATFORM, without their arguments ("xcb:option=1;offscreen").
QStringList PlatformNames(const QString& platform)
{
    QStringList names;
    for (const QString& entry : platform.split(u';', Qt::SkipEmptyParts)) {
        const QString name = entry.section(u':', 0, 0).trimmed();
        if (!name.isEmpty())
            names.append(name);
    }
    // Qt's default on Linux: xcb, or wayland in a Wayland session.
    if (names.isEmpty())
        names = QStringList{QStringLiteral("xcb"), QStringLiteral("wayland")};
    return names;
}

bool ShowsNothing(const QString& name)
{
    return name == u"offscreen" || name == u"minimal" || name == u"minimalegl";
}

bool MayShowWindows(const QString& name, const DisplayEnvironment& env)
{
    if (ShowsNothing(name))
        return false;
    if (name == u"xcb")
        return !env.display.isEmpty();
    if (name.startsWith(u"wayland"))
        return !env.waylandDisplay.isEmpty();
    // eglfs, linuxfb, vnc and the like draw on a screen or to a remote viewer of their own.
    return true;
}

} // namespace

DisplayEnvironment CurrentDisplayEnvironment()
{
    return {qEnvironmentVariable("QT_QPA_PLATFORM"), qEnvironmentVariable("DISPLAY"),
            qEnvironmentVariable("WAYLAND_DISPLAY")};
}

QString PreferredPlatform(const DisplayEnvironment& env)
{
    if (env.platform.isEmpty() && !env.display.isEmpty())
        return QStringLiteral("xcb");
    return env.platform;
}

QString MissingDisplay(const DisplayEnvironment& env)
{
    const QStringList names = PlatformNames(env.platform);
    for (const QString& name : names) {
        if (MayShowWindows(name, env))
            return {};
    }
    for (const QString& name : names) {
        if (ShowsNothing(name))
            return InvisiblePlatform(name);
    }
    return kPrefix + kAdvice;
}

QString InvisiblePlatform(const QString& platformName)
{
    if (!ShowsNothing(platformName))
        return {};
    return kPrefix +
           QStringLiteral("Qt's \"%1\" platform (QT_QPA_PLATFORM) shows no windows; "
                          "unset QT_QPA_PLATFORM and ")
               .arg(platformName) +
           kAdvice;
}

QString UnreachableDisplay(const DisplayEnvironment& env)
{
    const QStringList names = PlatformNames(env.platform);
    if (names.contains(u"xcb") && !env.display.isEmpty()) {
        return kPrefix +
               QStringLiteral("cannot connect to the X11 display \"%1\"; set DISPLAY to a "
                              "running X server or run it on a desktop")
                   .arg(env.display);
    }
    if (!env.waylandDisplay.isEmpty()) {
        return kPrefix +
               QStringLiteral("cannot connect to the Wayland display \"%1\"; ")
                   .arg(env.waylandDisplay) +
               kAdvice;
    }
    return kPrefix +
           QStringLiteral("Qt could not start the \"%1\" platform; ").arg(names.join(u';')) +
           kAdvice;
}
