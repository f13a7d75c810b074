#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVariant>

using BencodeDictionary = QMap<QByteArray, QVariant>;

// Decodes the bencode structure of a .torrent file and remembers where the
// value of its "info" key lies in the raw bytes, so that the info-hash can be
// computed over exactly those bytes.
//
// The reader is lenient in the ways torrents in the wild need, and never
// looks at a byte at or past the end of the data. An element cut off by the
// end of the data (a string shorter than its declared length, a string length
// or an integer with nothing after it, a key with no value) moves the position
// to the end and fails; a dictionary or list whose data ends right after a
// complete element counts as finished. Nesting deeper than a few hundred
// levels fails instead of exhausting the stack.
class BencodeReader
{
public:
    bool parse(const QByteArray &data);
    QByteArray infoBytes() const;
    QString errorString() const { return m_errorString; }
    BencodeDictionary dictionary() const { return m_dictionary; }

private:
    bool readDictionary(BencodeDictionary &result);
    bool readList(QVariantList &result);
    bool readInteger(qlonglong &result);
    bool readByteString(QByteArray &result);
    bool readValue(QVariant &result);

    bool atEnd() const { return m_position >= m_data.size(); }
    char current() const { return m_data.constData()[m_position]; }
    void setUnexpectedCharacter();
    void setUnexpectedEnd();
    void setErrorAtIndex();

    BencodeDictionary m_dictionary;
    QString m_errorString;
    QByteArray m_data;
    int m_position = 0;
    int m_infoStart = 0;
    int m_infoLength = 0;
    int m_depth = 0;
};

// Lowercase hexadecimal SHA-1 of the info dictionary of a .torrent file; an
// empty text when the file cannot be read or does not decode.
QString infoHashOfTorrentFile(const QString &path);

// The resource hash a text names, or an empty text: the info-hash of the
// file when the text contains ".torrent", else the first run of 40 hex
// digits as typed, else the first "appdata_" id.
QString resourceHashOf(const QString &text);
