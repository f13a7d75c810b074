// libFuzzer target for the bencode reader: any input must decode or fail
// without reading outside the data, and the info span must lie inside it.
#include "resource/bencodereader.h"

#include <QAssociativeIterable>

#include <cstdint>
#include <cstdlib>

namespace {

// Walks every decoded value, so that values built from the input are touched.
int countValues(const QVariant &value)
{
    int count = 1;
    if (value.userType() == QMetaType::QVariantList) {
        for (const QVariant &element : value.toList())
            count += countValues(element);
    } else if (value.userType() == qMetaTypeId<BencodeDictionary>()) {
        const QAssociativeIterable iterable = value.value<QAssociativeIterable>();
        for (auto it = iterable.begin(); it != iterable.end(); ++it)
            count += countValues(it.value());
    }
    return count;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Raw data, not a copy: QByteArray would add a terminating zero past the
    // end, which would hide a read of the byte after the last one.
    const QByteArray bytes
        = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    BencodeReader reader;
    const bool ok = reader.parse(bytes);
    const QByteArray info = reader.infoBytes();
    if (info.size() > bytes.size())
        std::abort();
    if (ok) {
        const BencodeDictionary top = reader.dictionary();
        int count = 0;
        for (auto it = top.cbegin(); it != top.cend(); ++it)
            count += countValues(it.value());
        if (count < top.size())
            std::abort();
    } else if (size == 0 && reader.errorString() != QLatin1String("No content")) {
        std::abort();
    }
    return 0;
}
