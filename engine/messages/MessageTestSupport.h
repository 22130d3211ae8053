#pragma once

// Test support for the message layer: a message object of any type,
// and reading the wire vectors kept in testdata/.

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/messages/NANOMessageBase.h"
#include "testkit/LogCapture.h"

namespace engine::testing {

using LogCapture = testkit::LogCapture;

// A message object of a type chosen at run time, for tests that walk all 42 types.
class AnyMessage : public NANOMessageBase {
  public:
    explicit AnyMessage(const MessageType& type) : NANOMessageBase(MessageInfo(type)) {}
    explicit AnyMessage(MessageInfo info) : NANOMessageBase(std::move(info)) {}
};

inline std::string testdataPath(const std::string& file) {
    return std::string(TESSALINE_MESSAGES_TESTDATA) + "/" + file;
}

inline std::vector<std::uint8_t> readTestdata(const std::string& file) {
    std::ifstream in(testdataPath(file), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::vector<std::uint8_t> bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (const int v : values)
        out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

}  // namespace engine::testing
