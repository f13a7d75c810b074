// libFuzzer target for the resource texts a user hands over (magnet links,
// file URLs, paths) and the parse dialog's reading of them: any text gives a
// resource id that is empty, 40 hex digits or an appdata_ id, and a blank
// text gives nothing to hand over.
#include "app/resourcehandover.h"
#include "resource/bencodereader.h"

#include <QRegularExpression>

#include <cstdint>
#include <cstdlib>

namespace {

bool isResourceId(const QString &id)
{
    static const QRegularExpression form(
        QStringLiteral("^([0-9a-fA-F]{40}|appdata_[0-9a-fA-F]{32})$"));
    return id.isEmpty() || form.match(id).hasMatch();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString argument = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    const QString text = ResourceHandover::resourceText(argument, QStringLiteral("/nonexistent"));
    if (argument.trimmed().isEmpty() && !text.isEmpty())
        std::abort();
    if (!isResourceId(resourceHashOf(text)) || !isResourceId(resourceHashOf(argument)))
        std::abort();
    return 0;
}
