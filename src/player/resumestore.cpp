#include "player/resumestore.h"

#include "common/atomicsave.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QJsonArray readEntries()
{
    QFile file(ResumeStore::fileName());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    return document.isArray() ? document.array() : QJsonArray();
}

bool matches(const QJsonObject &entry, const QString &hash, uint index)
{
    return entry.value(QStringLiteral("resource_hash")).toString() == hash
        && entry.value(QStringLiteral("resource_index")).toDouble(-1) == double(index);
}

} // namespace

QString ResumeStore::fileName()
{
    return QStringLiteral("PlayPosition.dat");
}

bool ResumeStore::isResumable(int position, int duration)
{
    return duration > 0 && position > LeadIn
        && qint64(position) * 100 < qint64(duration) * (100 - TailPercent);
}

int ResumeStore::position(const QString &hash, uint index)
{
    for (const QJsonValue &value : readEntries()) {
        const QJsonObject entry = value.toObject();
        if (matches(entry, hash, index))
            return qMax(0, entry.value(QStringLiteral("position")).toInt());
    }
    return 0;
}

bool ResumeStore::remember(const QString &hash, uint index, int position, int duration)
{
    const QJsonArray old = readEntries();
    QJsonArray entries;
    const bool keep = isResumable(position, duration);
    if (keep) {
        entries.append(QJsonObject { { QStringLiteral("resource_hash"), hash },
            { QStringLiteral("resource_index"), double(index) },
            { QStringLiteral("position"), position }, { QStringLiteral("duration"), duration } });
    }
    bool changed = keep;
    for (const QJsonValue &value : old) {
        if (matches(value.toObject(), hash, index)) {
            changed = true;
            continue;
        }
        if (entries.size() < MaximumEntries)
            entries.append(value);
        else
            changed = true;
    }
    if (!changed)
        return true;
    return saveFileAtomically(fileName(), QJsonDocument(entries).toJson(QJsonDocument::Compact));
}
