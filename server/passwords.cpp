#include "passwords.h"

#include <QStringList>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace {

constexpr int Iterations = 60000;
constexpr int SaltBytes = 16;
constexpr int KeyBytes = 32;

QByteArray randomBytes(int count)
{
    QByteArray bytes(count, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char *>(bytes.data()), count) != 1)
        throw std::runtime_error("no random bytes available");
    return bytes;
}

QByteArray deriveKey(const QString &password, const QByteArray &salt, int iterations)
{
    const QByteArray utf8 = password.toUtf8();
    QByteArray key(KeyBytes, '\0');
    if (PKCS5_PBKDF2_HMAC(utf8.constData(), utf8.size(),
            reinterpret_cast<const unsigned char *>(salt.constData()), salt.size(), iterations,
            EVP_sha256(), key.size(), reinterpret_cast<unsigned char *>(key.data()))
        != 1)
        throw std::runtime_error("key derivation failed");
    return key;
}

} // namespace

QString hashPassword(const QString &password)
{
    const QByteArray salt = randomBytes(SaltBytes);
    const QByteArray key = deriveKey(password, salt, Iterations);
    return QStringLiteral("pbkdf2-sha256$%1$%2$%3")
        .arg(Iterations)
        .arg(QString::fromLatin1(salt.toHex()), QString::fromLatin1(key.toHex()));
}

bool verifyPassword(const QString &password, const QString &stored)
{
    const QStringList parts = stored.split(QLatin1Char('$'));
    if (parts.size() != 4 || parts.at(0) != QLatin1String("pbkdf2-sha256"))
        return false;
    bool ok = false;
    const int iterations = parts.at(1).toInt(&ok);
    if (!ok || iterations < 1)
        return false;
    const QByteArray salt = QByteArray::fromHex(parts.at(2).toLatin1());
    const QByteArray expected = QByteArray::fromHex(parts.at(3).toLatin1());
    if (expected.size() != KeyBytes)
        return false;
    const QByteArray key = deriveKey(password, salt, iterations);
    return CRYPTO_memcmp(key.constData(), expected.constData(), KeyBytes) == 0;
}

QString randomHex(int count)
{
    return QString::fromLatin1(randomBytes(count).toHex());
}

QString randomText(int length, const QString &alphabet)
{
    // Rejection sampling keeps every character equally likely.
    const int limit = 256 - 256 % alphabet.size();
    QString text;
    while (text.size() < length) {
        for (const char byte : randomBytes(length * 2)) {
            const int value = static_cast<unsigned char>(byte);
            if (value < limit && text.size() < length)
                text.append(alphabet.at(value % alphabet.size()));
        }
    }
    return text;
}
