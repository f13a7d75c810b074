#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include <optional>

// The parameters of one request, parsed from the raw query or form body in
// the order they were sent. Keys and values are percent-decoded UTF-8; a "+"
// stands for a blank as in any form body.
class FormParams
{
public:
    struct Element
    {
        QString key;
        QString value;
        bool hasEquals = true;
    };

    // Empty when the text holds a malformed "%" escape or invalid UTF-8.
    static std::optional<FormParams> parse(const QByteArray &raw);

    // Value of the first element with this key; empty when absent.
    QString value(const QString &key) const;
    bool contains(const QString &key) const;
    const QVector<Element> &elements() const { return m_elements; }

    // True when "sign" holds the MD5 of every other element, decoded, sorted
    // by their whole text, joined by "&" and followed by "&" and the key.
    bool hasValidSignature(const QByteArray &key) const;
    // The signature of a list of raw "key=value" texts (also used by tests).
    static QByteArray signature(QStringList elements, const QByteArray &key);

private:
    QVector<Element> m_elements;
};

// Percent-decodes one raw text; empty when an escape is malformed.
std::optional<QByteArray> percentDecode(const QByteArray &raw);
