#include "playrecordstore.h"

#include "common/atomicsave.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QVariantMap>

namespace {

const QString FileName = QStringLiteral("PlayRecord.dat");

} // namespace

QVariantList &PlayRecordStore::list()
{
    static QVariantList records;
    return records;
}

void PlayRecordStore::load()
{
    list().clear();
    QFile file(FileName);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (document.isArray())
        list() = document.array().toVariantList();
}

bool PlayRecordStore::save(QString *errorText)
{
    return saveFileAtomically(
        FileName, QJsonDocument(QJsonArray::fromVariantList(list())).toJson(), errorText);
}

int PlayRecordStore::indexOf(const QString &hash, uint index)
{
    const QVariantList &records = list();
    for (int i = 0; i < records.size(); ++i) {
        const QVariantMap record = records.at(i).toMap();
        if (record.value(QStringLiteral("resource_hash")).toString() == hash
            && record.value(QStringLiteral("resource_index")).toUInt() == index)
            return i;
    }
    return -1;
}

void PlayRecordStore::removeAt(int position)
{
    if (position >= 0 && position < list().size())
        list().removeAt(position);
}

void PlayRecordStore::prepend(
    const QString &hash, uint index, const QString &jxhash, const QString &name)
{
    QVariantMap record;
    record.insert(QStringLiteral("resource_hash"), hash);
    record.insert(QStringLiteral("resource_index"), index);
    record.insert(QStringLiteral("file_hash"), jxhash);
    record.insert(QStringLiteral("file_name"), name);
    list().prepend(record);
}

int PlayRecordStore::size()
{
    return list().size();
}

QVariantList PlayRecordStore::records()
{
    return list();
}

bool PlayRecordStore::addPlay(
    const QString &hash, uint index, const QString &jxhash, const QString &name)
{
    load();
    const int position = indexOf(hash, index);
    if (position >= 0)
        removeAt(position);
    else if (size() == MaximumRecords)
        removeAt(size() - 1);
    prepend(hash, index, jxhash, name);
    return save();
}
