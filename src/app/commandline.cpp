#include "app/commandline.h"

#include <QDir>

#include <clocale>

namespace {

const char Usage[] = R"(usage: tavrion [--data-home] [RESOURCE]

Plays the videos of a BitTorrent resource through the Tavrion web service.

  RESOURCE     a magnet link, a 40-hex info-hash, an appdata_ id or a .torrent
               file; while Tavrion runs, it is handed to the running copy
  --data-home  keep the settings and records in $XDG_DATA_HOME/tavrion
               (made when missing) instead of the folder started in
  --help       show this text
  --version    show the version number

Qt's own options (-platform, -style, -display, ...) are passed to Qt.

The manual page tavrion(1) says more.
)";

// The options Qt's application object takes for itself (one or two dashes,
// a value after a blank or "="): 1 with a value, 0 without, -1 not Qt's.
int qtOption(QString argument)
{
    if (argument.startsWith(QLatin1String("--")))
        argument.remove(0, 1);
    const bool inlineValue = argument.contains(QLatin1Char('='));
    argument = argument.section(QLatin1Char('='), 0, 0);
    static const QStringList withValue { QStringLiteral("-platform"),
        QStringLiteral("-platformpluginpath"), QStringLiteral("-platformtheme"),
        QStringLiteral("-plugin"), QStringLiteral("-qwindowgeometry"), QStringLiteral("-geometry"),
        QStringLiteral("-qwindowtitle"), QStringLiteral("-title"), QStringLiteral("-qwindowicon"),
        QStringLiteral("-icon"), QStringLiteral("-display"), QStringLiteral("-name"),
        QStringLiteral("-session"), QStringLiteral("-style"), QStringLiteral("-stylesheet"),
        QStringLiteral("-qmljsdebugger") };
    static const QStringList withoutValue { QStringLiteral("-reverse"),
        QStringLiteral("-widgetcount"), QStringLiteral("-nograb"), QStringLiteral("-dograb"),
        QStringLiteral("-sync") };
    if (withValue.contains(argument))
        return inlineValue ? 0 : 1;
    return withoutValue.contains(argument) ? 0 : -1;
}

} // namespace

CommandLine CommandLine::parse(const QStringList &arguments)
{
    CommandLine line;
    const auto refuse = [&line](const QString &message) {
        line.answered = true;
        line.error = QStringLiteral("tavrion: %1 (see tavrion --help)\n").arg(message);
        line.exitStatus = 2;
        return line;
    };
    bool onlyResources = false;
    bool haveResource = false;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (!onlyResources && argument.startsWith(QLatin1Char('-')) && argument.size() > 1) {
            if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
                line.answered = true;
                line.output = QString::fromUtf8(Usage);
                return line;
            }
            if (argument == QLatin1String("--version")) {
                line.answered = true;
                line.output = QStringLiteral("tavrion " TAVRION_VERSION "\n");
                return line;
            }
            if (argument == QLatin1String("--data-home"))
                line.userDataFolder = true;
            else if (argument == QLatin1String("--"))
                onlyResources = true;
            else if (const int values = qtOption(argument); values >= 0)
                i += values;
            else
                return refuse(QStringLiteral("unknown option '%1'").arg(argument));
        } else if (haveResource) {
            return refuse(QStringLiteral("unexpected argument '%1'").arg(argument));
        } else {
            line.resource = argument;
            haveResource = true;
        }
    }
    return line;
}

CommandLine CommandLine::parse(int argc, char **argv)
{
    // The application object sets the user's locale before it decodes its
    // arguments; this runs before it exists.
    std::setlocale(LC_ALL, "");
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return parse(arguments);
}

QString CommandLine::userDataFolderPath()
{
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (!QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/share");
    return QDir::cleanPath(base + QStringLiteral("/tavrion"));
}
