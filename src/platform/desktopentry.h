#pragma once

#include <QString>

namespace DesktopEntry {

// Writes a freedesktop launcher at `entryPath` that starts `executable` in
// `workingDirectory`. Creates the folder if missing. Returns false on failure.
bool create(const QString &entryPath, const QString &name, const QString &executable,
    const QString &workingDirectory, const QString &icon);

// Quotes one Exec argument by the freedesktop quoting rules for Exec keys.
QString quoteExecArgument(const QString &argument);

} // namespace DesktopEntry
