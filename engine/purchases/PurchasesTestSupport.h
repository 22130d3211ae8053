#pragma once

// Test support (header only): store receipts written byte by byte.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace engine::testing {

using Bytes = std::vector<std::uint8_t>;

// A small DER writer for receipts: sequences of (type, version, octet string) attributes.
inline Bytes recordStart() {
    return {0x30, 0x20, 0x02, 0x01, 0x11, 0x02, 0x01, 0x01, 0x04, 0x31};
}
inline Bytes field(std::uint16_t type, std::uint8_t tag, const Bytes& value) {
    const std::uint8_t n = value.size(), hi = type >> 8, lo = type & 0xFF;
    const std::uint8_t n10 = n + 10, n2 = n + 2;
    Bytes out = {0x30, n10, 0x02, 0x02, hi, lo, 0x02, 0x01, 0x01, 0x04, n2, tag, n};
    for (std::uint8_t byte : value)
        out.push_back(byte);
    return out;
}
inline Bytes text(std::uint16_t type, const std::string& value, std::uint8_t tag = 0x0C) {
    return field(type, tag, Bytes(value.begin(), value.end()));
}
inline Bytes date(std::uint16_t type, const std::string& value) {
    return text(type, value, 0x16);
}
inline Bytes integer(std::uint16_t type, const Bytes& value) {
    return field(type, 0x02, value);
}
inline Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out = {0xAA, 0x55};  // stray bytes before, between and after the records
    for (const auto& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
        out.push_back(0xEE);
    }
    out.push_back(0x00);
    return out;
}

}  // namespace engine::testing
