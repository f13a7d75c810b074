#include "byterange.h"

#include <algorithm>

namespace {

bool parseNumber(const std::string &text, std::int64_t *value)
{
    if (text.empty() || text.size() > 18)
        return false;
    std::int64_t result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + (c - '0');
    }
    *value = result;
    return true;
}

} // namespace

std::optional<ByteRange> resolveRange(const std::string &header, std::int64_t size, bool *partial)
{
    *partial = false;
    if (header.empty())
        return size > 0 ? std::optional<ByteRange>({ 0, size - 1 }) : ByteRange { 0, -1 };
    const std::string prefix = "bytes=";
    if (header.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    const std::string rangeText = header.substr(prefix.size());
    // Several ranges would need a multipart answer; players never ask for one.
    if (rangeText.find(',') != std::string::npos)
        return std::nullopt;
    const std::string::size_type dash = rangeText.find('-');
    if (dash == std::string::npos)
        return std::nullopt;
    const std::string from = rangeText.substr(0, dash);
    const std::string to = rangeText.substr(dash + 1);
    ByteRange range;
    if (from.empty()) {
        std::int64_t suffix = 0;
        if (!parseNumber(to, &suffix) || suffix == 0 || size == 0)
            return std::nullopt;
        range.first = suffix >= size ? 0 : size - suffix;
        range.last = size - 1;
    } else {
        if (!parseNumber(from, &range.first) || range.first >= size)
            return std::nullopt;
        range.last = size - 1;
        if (!to.empty()) {
            std::int64_t last = 0;
            if (!parseNumber(to, &last) || last < range.first)
                return std::nullopt;
            range.last = std::min(last, size - 1);
        }
    }
    *partial = true;
    return range;
}
