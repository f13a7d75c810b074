#include "platform/sessionplatform.h"

#include <QX11Info>

namespace SessionPlatform {

namespace {

bool isWaylandSession(const QProcessEnvironment &environment)
{
    return !environment.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty()
        || environment.value(QStringLiteral("XDG_SESSION_TYPE")) == QLatin1String("wayland");
}

} // namespace

QByteArray chosenPlatform(const QProcessEnvironment &environment, const QStringList &arguments)
{
    if (!environment.value(QStringLiteral("QT_QPA_PLATFORM")).isEmpty())
        return {};
    for (const QString &argument : arguments) {
        if (argument == QLatin1String("-platform") || argument == QLatin1String("--platform")
            || argument.startsWith(QLatin1String("-platform=")))
            return {};
    }
    if (environment.value(QStringLiteral("DISPLAY")).isEmpty() || !isWaylandSession(environment))
        return {};
    return QByteArrayLiteral("xcb");
}

void choose(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const QByteArray platform = chosenPlatform(QProcessEnvironment::systemEnvironment(), arguments);
    if (!platform.isEmpty())
        qputenv("QT_QPA_PLATFORM", platform);
}

bool runsOnXWayland()
{
    return QX11Info::isPlatformX11() && isWaylandSession(QProcessEnvironment::systemEnvironment());
}

} // namespace SessionPlatform
