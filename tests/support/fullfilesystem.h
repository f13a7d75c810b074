#pragma once

#include <QString>
#include <QTemporaryDir>

// A tiny tmpfs mounted on a temporary folder, which becomes the working
// directory, so that saves can be tried on a really full disk. Mounting
// needs root; when it cannot be done, isMounted() is false and reason()
// says why (callers skip their test with it).
class FullFileSystem
{
public:
    // size as mount(8) takes it ("64k", "1m").
    explicit FullFileSystem(const QString &size = QStringLiteral("64k"));
    ~FullFileSystem();
    FullFileSystem(const FullFileSystem &) = delete;
    FullFileSystem &operator=(const FullFileSystem &) = delete;

    bool isMounted() const { return m_mounted; }
    QString reason() const { return m_reason; }
    QString path() const { return m_dir.path(); }

    // Takes every free byte with a filler file; false if the disk did not
    // report itself full.
    bool fill();
    // Removes the filler again.
    void makeRoom();

private:
    QTemporaryDir m_dir;
    QString m_previous;
    QString m_reason;
    bool m_mounted = false;
};
