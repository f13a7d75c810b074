// libFuzzer target for the video host's Range header handling: the first
// eight bytes are the file's size, the rest the header. A range that is
// answered must lie inside the file, and a partial answer must name a range
// the header asked for.
#include "byterange.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 8)
        return 0;
    std::int64_t fileSize = 0;
    std::memcpy(&fileSize, data, 8);
    // Sizes of files: never negative.
    fileSize &= std::numeric_limits<std::int64_t>::max();
    const std::string header(reinterpret_cast<const char *>(data) + 8, size - 8);
    bool partial = true;
    const std::optional<ByteRange> range = resolveRange(header, fileSize, &partial);
    if (!range)
        return 0;
    if (header.empty() != !partial)
        std::abort();
    if (fileSize == 0) {
        // Only the whole, empty file is answered.
        if (partial || range->first != 0 || range->last != -1)
            std::abort();
        return 0;
    }
    if (range->first < 0 || range->first > range->last || range->last >= fileSize)
        std::abort();
    return 0;
}
