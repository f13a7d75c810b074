#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QSaveFile>
#include <QString>

// Replaces the file at path with content in one step: the bytes go to a
// temporary file beside it, which is renamed over the old file only once
// every byte is known to be on disk. QSaveFile::commit() alone is not
// enough: content smaller than the write buffer only reaches the disk
// inside commit(), which ignores a full disk and still renames the empty
// file over the good one. So the write and the flush are checked here, and
// on any failure the temporary file is dropped, the old file stays, and the
// caller gets false and the reason in errorText.
//
// permissions, when given, are set on the new file before anything is
// written to it (for files holding secrets).
//
// Header only, so that every layer can use it without linking another.
inline bool saveFileAtomically(const QString &path, const QByteArray &content,
    QString *errorText = nullptr, QFileDevice::Permissions permissions = {})
{
    QSaveFile file(path);
    const auto fail = [&file, errorText] {
        if (errorText)
            *errorText = file.errorString();
        file.cancelWriting();
        return false;
    };
    if (!file.open(QIODevice::WriteOnly))
        return fail();
    if (permissions && !file.setPermissions(permissions))
        return fail();
    if (file.write(content) != content.size() || !file.flush())
        return fail();
    if (!file.commit()) {
        if (errorText)
            *errorText = file.errorString();
        return false;
    }
    return true;
}
