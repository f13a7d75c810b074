// Speed, tracks and frame grabs of the libmpv engine.

#include "player/aplayercontrol.h"
#include "player/mpvengine.h"

#include <mpv/client.h>

#include <cstring>

namespace {

bool isOpen(int state)
{
    return state != APlayerControl::Ready && state != APlayerControl::Closing;
}

const mpv_node *field(const mpv_node &map, const char *key)
{
    if (map.format != MPV_FORMAT_NODE_MAP)
        return nullptr;
    for (int i = 0; i < map.u.list->num; ++i) {
        if (std::strcmp(map.u.list->keys[i], key) == 0)
            return &map.u.list->values[i];
    }
    return nullptr;
}

QString textField(const mpv_node &map, const char *key)
{
    const mpv_node *value = field(map, key);
    return value && value->format == MPV_FORMAT_STRING ? QString::fromUtf8(value->u.string)
                                                       : QString();
}

qint64 intField(const mpv_node &map, const char *key)
{
    const mpv_node *value = field(map, key);
    return value && value->format == MPV_FORMAT_INT64 ? value->u.int64 : 0;
}

} // namespace

int MpvEngine::setSpeed(double speed)
{
    if (!m_mpv)
        return 1;
    // Asynchronous: a subtitle load may hold mpv's core, and the change must
    // not wait for it.
    return mpv_set_property_async(m_mpv, 0, "speed", MPV_FORMAT_DOUBLE, &speed) < 0 ? 1 : 0;
}

double MpvEngine::speed() const
{
    double speed = 1.0;
    if (m_mpv)
        mpv_get_property(m_mpv, "speed", MPV_FORMAT_DOUBLE, &speed);
    return speed;
}

QVector<PlayerTrack> MpvEngine::tracks() const
{
    QVector<PlayerTrack> tracks;
    mpv_node list;
    if (!m_mpv || !isOpen(m_state)
        || mpv_get_property(m_mpv, "track-list", MPV_FORMAT_NODE, &list) < 0)
        return tracks;
    if (list.format == MPV_FORMAT_NODE_ARRAY) {
        for (int i = 0; i < list.u.list->num; ++i) {
            const mpv_node &entry = list.u.list->values[i];
            const QString type = textField(entry, "type");
            if (type != QLatin1String("audio") && type != QLatin1String("sub"))
                continue;
            PlayerTrack track;
            track.kind
                = type == QLatin1String("audio") ? PlayerTrack::Audio : PlayerTrack::Subtitle;
            track.id = int(intField(entry, "id"));
            track.title = textField(entry, "title");
            track.language = textField(entry, "lang");
            track.externalFile = textField(entry, "external-filename");
            const mpv_node *selected = field(entry, "selected");
            track.selected = selected && selected->format == MPV_FORMAT_FLAG && selected->u.flag;
            tracks.append(track);
        }
    }
    mpv_free_node_contents(&list);
    return tracks;
}

int MpvEngine::selectTrack(PlayerTrack::Kind kind, int id)
{
    if (!m_mpv || !isOpen(m_state) || id < 0)
        return 1;
    // Set for this file only: mpv would keep a track chosen at run time for
    // the files after it, which have their own default tracks.
    const char *property
        = kind == PlayerTrack::Audio ? "file-local-options/aid" : "file-local-options/sid";
    const QByteArray value = id == 0 ? QByteArray("no") : QByteArray::number(id);
    const char *text = value.constData();
    return mpv_set_property_async(m_mpv, 0, property, MPV_FORMAT_STRING, &text) < 0 ? 1 : 0;
}

QImage MpvEngine::videoFrame() const
{
    QImage frame;
    if (!m_mpv || !isOpen(m_state))
        return frame;
    // "video": the decoded picture alone, at its own size; notices are never
    // part of a grab.
    const char *arguments[] = { "screenshot-raw", "video", nullptr };
    mpv_node result;
    if (mpv_command_ret(m_mpv, arguments, &result) < 0)
        return frame;
    const int width = int(intField(result, "w"));
    const int height = int(intField(result, "h"));
    const int stride = int(intField(result, "stride"));
    const mpv_node *data = field(result, "data");
    // bgr0 is a little-endian 0xXXRRGGBB word per pixel: Qt's RGB32.
    if (width > 0 && height > 0 && stride >= width * 4 && textField(result, "format") == "bgr0"
        && data && data->format == MPV_FORMAT_BYTE_ARRAY
        && data->u.ba->size >= size_t(stride) * size_t(height)) {
        frame = QImage(static_cast<const uchar *>(data->u.ba->data), width, height, stride,
            QImage::Format_RGB32)
                    .copy();
    }
    mpv_free_node_contents(&result);
    return frame;
}
