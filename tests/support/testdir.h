#pragma once

#include <QString>
#include <QTemporaryDir>

// A fresh temporary working directory for one test; the previous current
// directory comes back when it goes out of scope.
class ScopedWorkingDirectory
{
public:
    ScopedWorkingDirectory();
    ~ScopedWorkingDirectory();
    ScopedWorkingDirectory(const ScopedWorkingDirectory &) = delete;
    ScopedWorkingDirectory &operator=(const ScopedWorkingDirectory &) = delete;

    QString path() const { return m_dir.path(); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
    QString m_previous;
};

// Reads a whole file as bytes; empty when it cannot be read.
QByteArray readFileBytes(const QString &path);
// Writes bytes to a file, creating parent folders; false on failure.
bool writeFileBytes(const QString &path, const QByteArray &bytes);
// `size` bytes of noise, the same for the same seed: media and payloads
// that no compression or coincidence makes special.
QByteArray seededBytes(int size, quint32 seed);
// Where a suite keeps pictures and logs for people to look at:
// test-artefacts/ in the build folder.
QString artefactPath(const QString &name);
// Path of a built program of this project (tavrion, tavrion-server, ...).
QString builtProgram(const QString &name);
