#include "bencodereader.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRegularExpression>

#include <climits>

namespace {

// Lists and dictionaries are read recursively; a hostile file of nothing but
// "llll..." would otherwise exhaust the stack. Real torrents nest a handful of
// levels.
constexpr int MaximumNesting = 512;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Stores a dictionary in a QVariant. The dictionary type gets its name and its
// associative-iterable converter the first time one is nested in a value.
QVariant dictionaryVariant(const BencodeDictionary &dictionary)
{
    static const int typeId = qRegisterMetaType<BencodeDictionary>("Dictionary");
    Q_UNUSED(typeId);
    return QVariant::fromValue(dictionary);
}

} // namespace

bool BencodeReader::parse(const QByteArray &data)
{
    // A reader used again starts from scratch rather than mid-way in old data.
    *this = BencodeReader();
    if (data.isEmpty()) {
        m_errorString = QStringLiteral("No content");
        return false;
    }
    m_data = data;
    return readDictionary(m_dictionary);
}

QByteArray BencodeReader::infoBytes() const
{
    return m_data.mid(m_infoStart, m_infoLength);
}

void BencodeReader::setUnexpectedCharacter()
{
    m_errorString = QStringLiteral("Unexpected character at pos %1: %2")
                        .arg(QString::number(m_position), QString(QChar::fromLatin1(current())));
}

void BencodeReader::setUnexpectedEnd()
{
    m_errorString = QStringLiteral("Unexpected end of data at pos %1").arg(m_data.size());
}

void BencodeReader::setErrorAtIndex()
{
    m_errorString = QStringLiteral("error at index %1").arg(m_position);
}

bool BencodeReader::readValue(QVariant &result)
{
    if (m_depth >= MaximumNesting)
        return false;
    ++m_depth;
    bool ok = false;
    qlonglong integer = 0;
    QByteArray bytes;
    QVariantList list;
    BencodeDictionary dictionary;
    if (readInteger(integer)) {
        result = integer;
        ok = true;
    } else if (readByteString(bytes)) {
        result = bytes;
        ok = true;
    } else if (readList(list)) {
        result = list;
        ok = true;
    } else if (readDictionary(dictionary)) {
        result = dictionaryVariant(dictionary);
        ok = true;
    }
    --m_depth;
    return ok;
}

bool BencodeReader::readDictionary(BencodeDictionary &result)
{
    if (atEnd() || current() != 'd')
        return false;
    ++m_position;
    if (!atEnd() && current() == 'e') {
        ++m_position;
        return true;
    }
    for (;;) {
        QByteArray key;
        if (!readByteString(key)) {
            // Something other than a string where a key belongs ends the
            // dictionary; running out of data there means it was cut off.
            if (atEnd()) {
                setUnexpectedEnd();
                return false;
            }
            return true;
        }
        const bool isInfo = key == "info";
        if (isInfo)
            m_infoStart = m_position;
        QVariant value;
        if (!readValue(value)) {
            setErrorAtIndex();
            return false;
        }
        result.insert(key, value);
        if (isInfo)
            m_infoLength = m_position - m_infoStart;
        if (atEnd())
            return true;
        if (current() == 'e') {
            ++m_position;
            return true;
        }
    }
}

bool BencodeReader::readList(QVariantList &result)
{
    if (atEnd() || current() != 'l')
        return false;
    ++m_position;
    for (;;) {
        if (!atEnd() && current() == 'e') {
            ++m_position;
            return true;
        }
        QVariant value;
        if (!readValue(value)) {
            setErrorAtIndex();
            return false;
        }
        result.append(value);
        if (atEnd())
            return true;
    }
}

bool BencodeReader::readInteger(qlonglong &result)
{
    if (atEnd() || current() != 'i')
        return false;
    ++m_position;
    bool negative = false;
    bool hasDigits = false;
    // Unsigned arithmetic wraps like the two's-complement value it stands for,
    // without the undefined behaviour of a signed overflow.
    quint64 value = 0;
    while (!atEnd()) {
        const char c = current();
        if (isDigit(c)) {
            value = value * 10 + quint64(c - '0');
            hasDigits = true;
            ++m_position;
        } else if (!hasDigits) {
            if (c != '-' || negative)
                return false;
            negative = true;
            ++m_position;
        } else if (c == 'e') {
            ++m_position;
            break;
        } else {
            setUnexpectedCharacter();
            return false;
        }
    }
    if (!hasDigits) {
        setUnexpectedEnd();
        return false;
    }
    result = qlonglong(negative ? 0 - value : value);
    return true;
}

bool BencodeReader::readByteString(QByteArray &result)
{
    if (atEnd() || !isDigit(current()))
        return false;
    // Kept wide and saturated: any length past INT_MAX runs past the data.
    qint64 length = 0;
    while (!atEnd() && isDigit(current())) {
        if (length <= INT_MAX)
            length = length * 10 + (current() - '0');
        ++m_position;
    }
    if (atEnd()) {
        setUnexpectedEnd();
        return false;
    }
    if (current() != ':') {
        setUnexpectedCharacter();
        return false;
    }
    ++m_position;
    if (length > m_data.size() - m_position) {
        m_position = m_data.size();
        setUnexpectedEnd();
        return false;
    }
    result = m_data.mid(m_position, int(length));
    m_position += int(length);
    return true;
}

QString infoHashOfTorrentFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray data = file.readAll();
    file.close();
    BencodeReader reader;
    if (!reader.parse(data))
        return QString();
    return QString::fromLatin1(
        QCryptographicHash::hash(reader.infoBytes(), QCryptographicHash::Sha1).toHex());
}

QString resourceHashOf(const QString &text)
{
    if (text.contains(QLatin1String(".torrent")))
        return infoHashOfTorrentFile(text);
    static const QRegularExpression infoHash(QStringLiteral("[0-9a-fA-F]{40}"));
    const QRegularExpressionMatch hashMatch = infoHash.match(text);
    if (hashMatch.hasMatch())
        return hashMatch.captured();
    static const QRegularExpression appdata(QStringLiteral("appdata_[0-9a-fA-F]{32}"));
    return appdata.match(text).captured();
}
