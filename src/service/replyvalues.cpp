#include "service/replyvalues.h"

#include <QLocale>

#include <cmath>
#include <limits>

namespace {

// The whole number a value stands for, as a signed or an unsigned 64-bit
// integer; false when it is no whole number or does not fit either.
struct WholeNumber
{
    bool valid = false;
    bool negative = false;
    quint64 magnitude = 0;
};

WholeNumber fromSigned(qint64 v)
{
    WholeNumber n;
    n.valid = true;
    n.negative = v < 0;
    n.magnitude = n.negative ? quint64(0) - quint64(v) : quint64(v);
    return n;
}

WholeNumber fromUnsigned(quint64 v)
{
    WholeNumber n;
    n.valid = true;
    n.magnitude = v;
    return n;
}

WholeNumber fromDouble(double d)
{
    // 2^64 is exactly representable; anything at or above it does not fit.
    const double limit = 18446744073709551616.0;
    if (!std::isfinite(d) || std::trunc(d) != d || std::fabs(d) >= limit)
        return {};
    WholeNumber n;
    n.valid = true;
    n.negative = d < 0;
    n.magnitude = quint64(std::fabs(d));
    return n;
}

WholeNumber fromText(const QString &text)
{
    bool ok = false;
    const quint64 u = text.toULongLong(&ok);
    if (ok)
        return fromUnsigned(u);
    const qint64 s = text.toLongLong(&ok);
    if (ok)
        return fromSigned(s);
    return {};
}

WholeNumber wholeNumber(const QVariant &value, bool acceptBool)
{
    switch (value.userType()) {
    case QMetaType::Bool:
        return acceptBool ? fromUnsigned(value.toBool() ? 1 : 0) : WholeNumber();
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
        return fromSigned(value.toLongLong());
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        return fromUnsigned(value.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return fromDouble(value.toDouble());
    case QMetaType::QString:
        return fromText(value.toString());
    default:
        return {};
    }
}

} // namespace

int replyInt(const QVariant &value)
{
    const WholeNumber n = wholeNumber(value, true);
    if (!n.valid)
        return 0;
    if (n.negative)
        return n.magnitude <= quint64(std::numeric_limits<int>::max()) + 1
            ? int(-qint64(n.magnitude))
            : 0;
    return n.magnitude <= quint64(std::numeric_limits<int>::max()) ? int(n.magnitude) : 0;
}

uint replyUInt(const QVariant &value)
{
    const WholeNumber n = wholeNumber(value, false);
    if (!n.valid || n.negative || n.magnitude > std::numeric_limits<uint>::max())
        return 0;
    return uint(n.magnitude);
}

quint64 replyUInt64(const QVariant &value)
{
    const WholeNumber n = wholeNumber(value, false);
    return n.valid && !n.negative ? n.magnitude : 0;
}

QString replyText(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::QString:
        return value.toString();
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
        return QString::number(value.toLongLong());
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        return QString::number(value.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float: {
        const double d = value.toDouble();
        // Whole numbers in plain decimal ("5000000000", not "5e+09").
        if (std::isfinite(d) && std::trunc(d) == d && std::fabs(d) < 9007199254740992.0)
            return QString::number(qint64(d));
        return QString::number(d, 'g', QLocale::FloatingPointShortest);
    }
    default:
        return {};
    }
}
