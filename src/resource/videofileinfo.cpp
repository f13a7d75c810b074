#include "resource/videofileinfo.h"

QString VideoFileInfo::effectiveHash() const
{
    return remapped ? remappedHash : hash;
}

uint VideoFileInfo::effectiveIndex() const
{
    return remapped ? remappedIndex : index;
}

quint64 VideoFileInfo::effectiveSize() const
{
    return remapped ? remappedSize : fileSize;
}
