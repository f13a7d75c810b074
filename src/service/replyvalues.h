#pragma once

#include <QString>
#include <QVariant>

// Conversions of reply values. The service is loose about JSON types, so each
// reader accepts the forms it may send and reads anything else as 0 or empty.

// A number, a numeric string or a boolean (true is 1); 0 otherwise, also for
// fractions and values outside the signed 32-bit range.
int replyInt(const QVariant &value);
// A number or a numeric string within the unsigned 32-bit range; 0 otherwise,
// negative values included.
uint replyUInt(const QVariant &value);
// The same for the unsigned 64-bit range.
quint64 replyUInt64(const QVariant &value);
// A string as it is, a number in decimal, a boolean as "true" or "false";
// empty for anything else.
QString replyText(const QVariant &value);
