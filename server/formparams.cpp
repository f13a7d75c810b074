#include "formparams.h"

#include <QCryptographicHash>
#include <QStringList>

#include <algorithm>

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<QString> decodeText(const QByteArray &raw)
{
    const std::optional<QByteArray> bytes = percentDecode(raw);
    if (!bytes)
        return std::nullopt;
    const QString text = QString::fromUtf8(*bytes);
    // A round trip that changes the bytes means they were not valid UTF-8.
    if (text.toUtf8() != *bytes)
        return std::nullopt;
    return text;
}

bool equalInConstantTime(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (int i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
    return difference == 0;
}

} // namespace

std::optional<QByteArray> percentDecode(const QByteArray &raw)
{
    QByteArray out;
    out.reserve(raw.size());
    for (int i = 0; i < raw.size(); ++i) {
        const char c = raw.at(i);
        if (c == '+') {
            out.append(' ');
        } else if (c == '%') {
            if (i + 2 >= raw.size())
                return std::nullopt;
            const int high = hexValue(raw.at(i + 1));
            const int low = hexValue(raw.at(i + 2));
            if (high < 0 || low < 0)
                return std::nullopt;
            out.append(static_cast<char>(high * 16 + low));
            i += 2;
        } else {
            out.append(c);
        }
    }
    return out;
}

std::optional<FormParams> FormParams::parse(const QByteArray &raw)
{
    FormParams params;
    for (const QByteArray &piece : raw.split('&')) {
        if (piece.isEmpty())
            continue;
        const int equals = piece.indexOf('=');
        Element element;
        element.hasEquals = equals >= 0;
        const std::optional<QString> key = decodeText(equals >= 0 ? piece.left(equals) : piece);
        const std::optional<QString> value
            = decodeText(equals >= 0 ? piece.mid(equals + 1) : QByteArray());
        if (!key || !value)
            return std::nullopt;
        element.key = *key;
        element.value = *value;
        params.m_elements.append(element);
    }
    return params;
}

QString FormParams::value(const QString &key) const
{
    for (const Element &element : m_elements) {
        if (element.key == key)
            return element.value;
    }
    return {};
}

bool FormParams::contains(const QString &key) const
{
    return std::any_of(m_elements.begin(), m_elements.end(),
        [&key](const Element &element) { return element.key == key; });
}

bool FormParams::hasValidSignature(const QByteArray &key) const
{
    QStringList signedElements;
    QByteArray given;
    bool seenSign = false;
    for (const Element &element : m_elements) {
        if (element.key == QLatin1String("sign")) {
            // Two signatures make the request ambiguous; refuse it.
            if (seenSign)
                return false;
            seenSign = true;
            given = element.value.toLatin1().toLower();
            continue;
        }
        signedElements.append(
            element.hasEquals ? element.key + QLatin1Char('=') + element.value : element.key);
    }
    if (!seenSign)
        return false;
    return equalInConstantTime(signature(signedElements, key), given);
}

QByteArray FormParams::signature(QStringList elements, const QByteArray &key)
{
    // QString ordering compares UTF-16 code units, as the client's sort does.
    std::sort(elements.begin(), elements.end());
    elements.append(QString::fromLatin1(key));
    return QCryptographicHash::hash(
        elements.join(QLatin1Char('&')).toUtf8(), QCryptographicHash::Md5)
        .toHex();
}
