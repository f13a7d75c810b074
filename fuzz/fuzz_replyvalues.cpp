// libFuzzer target for the client's readers of reply values: the input is a
// service reply body; every value in it, and the input as one string, goes
// through each reader. The readers must agree with each other on what they
// accept.
#include "service/replyvalues.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <cstdlib>
#include <limits>

namespace {

void check(const QVariant &value)
{
    const int i = replyInt(value);
    const uint u = replyUInt(value);
    const quint64 u64 = replyUInt64(value);
    const QString text = replyText(value);
    // The unsigned readers differ only in range.
    if (u != 0 && u64 != u)
        std::abort();
    if (u == 0 && u64 != 0 && u64 <= std::numeric_limits<uint>::max())
        std::abort();
    // A non-negative int is also read by the unsigned readers (booleans aside).
    if (i > 0 && value.userType() != QMetaType::Bool && u != uint(i))
        std::abort();
    if (value.userType() == QMetaType::QString && text != value.toString())
        std::abort();
    if (value.userType() == QMetaType::QVariantList) {
        for (const QVariant &element : value.toList())
            check(element);
    } else if (value.userType() == QMetaType::QVariantMap) {
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            check(it.value());
    }
}

} // namespace

// Qt 5.15's JSON parser leaks a few hundred bytes on some malformed bodies
// (a NUL inside a key, for one); the leak checker would stop at the first.
extern "C" int __lsan_is_turned_off()
{
    return 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body
        = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    // As the client reads a reply: the top-level object as a map.
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (document.isObject())
        check(document.object().toVariantMap());
    check(QVariant(QString::fromUtf8(body)));
    return 0;
}
