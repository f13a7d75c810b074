#include "platform/singleinstance.h"

#include <QDir>
#include <QLockFile>
#include <QStandardPaths>

namespace SingleInstance {

bool anotherInstanceRuns(const QString &name)
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath();
    QDir().mkpath(folder);
    // Held for the life of the process; the OS releases it on exit.
    static QLockFile *lock = nullptr;
    if (lock)
        return false;
    auto *candidate = new QLockFile(QDir(folder).filePath(name));
    // Never stale by age: only a lock whose process is gone is taken over.
    candidate->setStaleLockTime(0);
    if (candidate->tryLock(0)) {
        lock = candidate;
        return false;
    }
    const bool held = candidate->error() == QLockFile::LockFailedError;
    delete candidate;
    // A lock that cannot be created at all (no permission) must not stop the
    // program: start as if alone.
    return held;
}

} // namespace SingleInstance
