#pragma once

#include <QByteArray>
#include <QString>

// Stored form of a password: "pbkdf2-sha256$<iterations>$<salt hex>$<key hex>".
QString hashPassword(const QString &password);
bool verifyPassword(const QString &password, const QString &stored);

// Cryptographically random bytes, as lowercase hex text of 2 * count digits.
QString randomHex(int count);
// A random text of the given length drawn from the characters of alphabet.
QString randomText(int length, const QString &alphabet);
