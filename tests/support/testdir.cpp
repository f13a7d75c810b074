#include "testdir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

ScopedWorkingDirectory::ScopedWorkingDirectory()
    : m_previous(QDir::currentPath())
{
    QDir::setCurrent(m_dir.path());
}

ScopedWorkingDirectory::~ScopedWorkingDirectory()
{
    QDir::setCurrent(m_previous);
}

QByteArray readFileBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

bool writeFileBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(bytes) == bytes.size();
}

QByteArray seededBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    for (int i = size / 4 * 4; i < size; ++i)
        bytes[i] = char(generator.generate());
    return bytes;
}

QString artefactPath(const QString &name)
{
    QDir dir(qEnvironmentVariable("TAVRION_BUILD_DIR", QDir::tempPath()));
    dir.mkpath(QStringLiteral("test-artefacts"));
    return dir.filePath(QStringLiteral("test-artefacts/") + name);
}

QString builtProgram(const QString &name)
{
    const QString buildDir = qEnvironmentVariable("TAVRION_BUILD_DIR");
    const QStringList candidates = { buildDir + QLatin1Char('/') + name,
        buildDir + QStringLiteral("/src/") + name, buildDir + QStringLiteral("/server/") + name,
        buildDir + QStringLiteral("/tools/seeder/") + name };
    for (const QString &candidate : candidates) {
        if (QFileInfo(candidate).isExecutable())
            return candidate;
    }
    return {};
}
