#include "byterange.h"

#include <algorithm>
#include <string_view>

namespace {

bool parseNumber(std::string_view text, std::int64_t *value)
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
    const std::string_view prefix = "bytes=";
    if (header.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    const std::string_view rangeText = std::string_view(header).substr(prefix.size());
    // Several ranges would need a multipart answer; players never ask for one.
    if (rangeText.find(',') != std::string_view::npos)
        return std::nullopt;
    const std::size_t dash = rangeText.find('-');
    if (dash == std::string_view::npos)
        return std::nullopt;
    const std::string_view from = rangeText.substr(0, dash);
    const std::string_view to = rangeText.substr(dash + 1);
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
