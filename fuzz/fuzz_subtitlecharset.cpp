// libFuzzer target for the subtitle character-set sniffing: any bytes give
// one of the three answers without reading outside them.
#include "preferences/subtitlecharset.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray head
        = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    const QByteArray codepage = SubtitleCharset::codepageOf(head);
    if (codepage != "auto" && codepage != "GB18030" && codepage != "BIG5")
        std::abort();
    return 0;
}
