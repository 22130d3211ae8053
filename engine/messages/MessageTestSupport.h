#pragma once

// Test support for the message layer: capture of the system log, a message object of any type,
// and reading the wire vectors kept in testdata/.

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/messages/NANOMessageBase.h"
#include "platform/foundation/Log.h"

namespace engine::testing {

// Collects system log lines while alive.
class LogCapture {
  public:
    LogCapture() {
        previous_ =
            platform::setLogSink([this](std::string_view line) { lines_.emplace_back(line); });
    }
    ~LogCapture() { platform::setLogSink(std::move(previous_)); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::vector<std::string>& lines() const { return lines_; }

  private:
    platform::LogSink previous_;
    std::vector<std::string> lines_;
};

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
