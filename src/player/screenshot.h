#pragma once

#include <QImage>
#include <QString>

// Saving a video frame as a PNG picture.
namespace Screenshot {

// "Tavrion" in the user's pictures folder.
QString defaultFolder();
// "NAME_HH-MM-SS.png" from the video file's name (its folders and extension
// dropped, characters unfit for a file name replaced) and the position.
QString fileName(const QString &videoName, int positionMs);

struct Result
{
    bool saved = false;
    QString path; // where it went
    QString error; // why not
};

// Writes the frame into the folder (made when missing) under fileName, with
// " (2)", " (3)" ... added when that name is taken. The file appears only
// once complete: a failed save leaves nothing behind.
Result save(const QImage &frame, const QString &folder, const QString &videoName, int positionMs);

} // namespace Screenshot
