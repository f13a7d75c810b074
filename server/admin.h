#pragma once

#include <QStringList>

// The command line of tavrion-server: "serve" and the admin commands.
// Returns the process exit status.
int runCommand(const QStringList &arguments);
