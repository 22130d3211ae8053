#pragma once

// A blocking TCP client on 127.0.0.1 that sends bytes as given and reads with deadlines, for tests
// of what a server does with clients that are slow, silent, malformed or too large. A deadline is
// a bound on waiting for the server, never a pause of its own.

#include <chrono>
#include <string>
#include <string_view>

namespace testkit {

class RawSocket {
  public:
    // Connects to 127.0.0.1:`port`; isOpen() is false when that fails.
    explicit RawSocket(int port);
    ~RawSocket();
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    // Sends all of `bytes`; false once the server has closed or reset the connection.
    bool send(std::string_view bytes);
    // Ends the sending side (the server reads end of stream).
    void shutdownWrite();
    void close();

    // Reads until the server closes the connection or `timeout` passes; what arrived.
    // `closed` (when given) tells which.
    std::string readUntilClosed(std::chrono::milliseconds timeout, bool* closed = nullptr);
    // Reads until what arrived holds `marker`, the server closes or `timeout` passes.
    std::string readUntil(std::string_view marker, std::chrono::milliseconds timeout);
    // True when something can be read, or the server closed, within `timeout`.
    bool readable(std::chrono::milliseconds timeout);

  private:
    int fd_ = -1;
};

// The status code of a raw HTTP answer ("HTTP/1.1 431 ..."), or 0 when there is none.
int statusOf(const std::string& answer);
// What follows the header of a raw HTTP answer.
std::string bodyOf(const std::string& answer);

}  // namespace testkit
