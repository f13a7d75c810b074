#include "player/trackchoicestore.h"

#include "common/atomicsave.h"
#include "player/playerengine.h"
#include "resource/videofileinfo.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace {

const QString HashKey = QStringLiteral("resource_hash");
const QString IndexKey = QStringLiteral("resource_index");
const QString AudioKey = QStringLiteral("audio");
const QString SubtitleKey = QStringLiteral("subtitle");

QJsonArray readEntries()
{
    QFile file(TrackChoiceStore::fileName());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    return document.isArray() ? document.array() : QJsonArray();
}

bool matches(const QJsonObject &entry, const QString &hash, uint index)
{
    return entry.value(HashKey).toString() == hash
        && entry.value(IndexKey).toDouble(-1) == double(index);
}

int trackId(const QJsonObject &entry, const QString &key)
{
    const int id = entry.value(key).toInt(TrackChoiceStore::NotChosen);
    return id < 0 ? TrackChoiceStore::NotChosen : id;
}

} // namespace

QString TrackChoiceStore::fileName()
{
    return QStringLiteral("PlayTracks.dat");
}

TrackChoiceStore::Choice TrackChoiceStore::choice(const QString &hash, uint index)
{
    for (const QJsonValue &value : readEntries()) {
        const QJsonObject entry = value.toObject();
        if (matches(entry, hash, index))
            return { trackId(entry, AudioKey), trackId(entry, SubtitleKey) };
    }
    return {};
}

bool TrackChoiceStore::remember(const QString &hash, uint index, const Choice &choice)
{
    QJsonObject entry { { HashKey, hash }, { IndexKey, double(index) } };
    if (choice.audio >= 0)
        entry.insert(AudioKey, choice.audio);
    if (choice.subtitle >= 0)
        entry.insert(SubtitleKey, choice.subtitle);
    QJsonArray entries { entry };
    for (const QJsonValue &value : readEntries()) {
        if (!matches(value.toObject(), hash, index) && entries.size() < MaximumEntries)
            entries.append(value);
    }
    return saveFileAtomically(fileName(), QJsonDocument(entries).toJson(QJsonDocument::Compact));
}

bool TrackChoiceStore::choose(
    PlayerEngine *engine, const VideoFileInfo &file, PlayerTrack::Kind kind, int id)
{
    if (engine->selectTrack(kind, id) != 0)
        return false;
    for (const PlayerTrack &track : engine->tracks()) {
        if (track.kind == kind && track.id == id && !track.externalFile.isEmpty())
            return true;
    }
    Choice remembered = choice(file.hash, file.index);
    (kind == PlayerTrack::Audio ? remembered.audio : remembered.subtitle) = id;
    remember(file.hash, file.index, remembered);
    return true;
}

void TrackChoiceStore::apply(PlayerEngine *engine, const VideoFileInfo &file)
{
    const Choice remembered = choice(file.hash, file.index);
    if (remembered.audio == NotChosen && remembered.subtitle == NotChosen)
        return;
    const QVector<PlayerTrack> tracks = engine->tracks();
    auto has = [&tracks](PlayerTrack::Kind kind, int id) {
        return std::any_of(tracks.begin(), tracks.end(), [&](const PlayerTrack &track) {
            return track.kind == kind && track.id == id && track.externalFile.isEmpty();
        });
    };
    if (remembered.audio > 0 && has(PlayerTrack::Audio, remembered.audio))
        engine->selectTrack(PlayerTrack::Audio, remembered.audio);
    if (remembered.subtitle == 0
        || (remembered.subtitle > 0 && has(PlayerTrack::Subtitle, remembered.subtitle)))
        engine->selectTrack(PlayerTrack::Subtitle, remembered.subtitle);
}
