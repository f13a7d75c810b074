#include "fullfilesystem.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <unistd.h>

namespace {

const QString FillerName = QStringLiteral(".filler");

bool run(const QString &program, const QStringList &arguments, QString *output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool ok = process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
    if (output)
        *output = QString::fromLocal8Bit(process.readAll()).trimmed();
    return ok;
}

} // namespace

FullFileSystem::FullFileSystem(const QString &size)
    : m_previous(QDir::currentPath())
{
    if (geteuid() != 0) {
        m_reason = QStringLiteral("mounting a small tmpfs to fill needs root");
        return;
    }
    QString output;
    if (!run(QStringLiteral("mount"),
            { QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                QStringLiteral("size=") + size, QStringLiteral("tmpfs"), m_dir.path() },
            &output)) {
        m_reason = QStringLiteral("mount -t tmpfs failed: ") + output;
        return;
    }
    m_mounted = true;
    QDir::setCurrent(m_dir.path());
}

FullFileSystem::~FullFileSystem()
{
    QDir::setCurrent(m_previous);
    if (m_mounted)
        run(QStringLiteral("umount"), { m_dir.path() }, nullptr);
}

bool FullFileSystem::fill()
{
    // Unbuffered, so that each write meets the disk and its error at once.
    QFile filler(QDir(m_dir.path()).filePath(FillerName));
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    const QByteArray page(4096, 'f');
    // A write that only partly fits returns its count; the next one fails.
    for (int i = 0; i < 1024; ++i) {
        if (filler.write(page) < 0)
            return filler.error() == QFileDevice::ResourceError;
    }
    return false;
}

void FullFileSystem::makeRoom()
{
    QFile::remove(QDir(m_dir.path()).filePath(FillerName));
}
