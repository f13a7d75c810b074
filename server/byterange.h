#pragma once

#include <cstdint>
#include <optional>
#include <string>

// A byte range of a file of known size, resolved from a Range header.
struct ByteRange
{
    std::int64_t first = 0;
    std::int64_t last = 0; // inclusive
};

// Parses a single "bytes=" range against a size. Returns the whole file for
// no header; nothing when the range cannot be satisfied (answer 416).
// Ranges that reach past the end are clamped to it.
std::optional<ByteRange> resolveRange(const std::string &header, std::int64_t size, bool *partial);
