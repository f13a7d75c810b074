#pragma once

#include <QString>
#include <QStringList>

// What the client's command line asks for. --help and --version are answered
// before anything else runs, so they need no display and never reach a
// running copy.
struct CommandLine
{
    // The optional resource to open (a magnet link, info-hash, appdata_ id or
    // .torrent path).
    QString resource;
    // Work in the user's data folder instead of the folder started in.
    bool userDataFolder = false;
    // Set when the command line is answered without starting: the text for
    // standard output or standard error and the exit status.
    bool answered = false;
    QString output;
    QString error;
    int exitStatus = 0;

    // `arguments` without the program name.
    static CommandLine parse(const QStringList &arguments);
    // The process's own arguments, decoded as Qt would decode them.
    static CommandLine parse(int argc, char **argv);
    // $XDG_DATA_HOME/tavrion, or ~/.local/share/tavrion when that is unset or
    // not absolute.
    static QString userDataFolderPath();
};
