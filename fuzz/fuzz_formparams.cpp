// libFuzzer target for the service's query and form parsing: any text must
// parse or be refused without reading outside it, and what parses must come
// back the same from its own percent-encoding.
#include "formparams.h"

#include <QUrl>

#include <cstdint>
#include <cstdlib>

namespace {

QByteArray encoded(const QString &text)
{
    return QUrl::toPercentEncoding(text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray raw = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    const std::optional<QByteArray> decoded = percentDecode(raw);
    if (decoded && decoded->size() > raw.size())
        std::abort();

    const std::optional<FormParams> params = FormParams::parse(raw);
    if (!params)
        return 0;
    QByteArray again;
    for (const FormParams::Element &element : params->elements()) {
        if (!again.isEmpty())
            again += '&';
        again += encoded(element.key);
        if (element.hasEquals)
            again += '=' + encoded(element.value);
        else if (!element.value.isEmpty())
            std::abort();
        if (!params->contains(element.key))
            std::abort();
    }
    const std::optional<FormParams> reparsed = FormParams::parse(again);
    if (!reparsed || reparsed->elements().size() != params->elements().size())
        std::abort();
    for (int i = 0; i < params->elements().size(); ++i) {
        const FormParams::Element &a = params->elements().at(i);
        const FormParams::Element &b = reparsed->elements().at(i);
        if (a.key != b.key || a.value != b.value || a.hasEquals != b.hasEquals)
            std::abort();
    }
    params->hasValidSignature("key");
    return 0;
}
