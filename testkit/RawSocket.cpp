#include "testkit/RawSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

namespace testkit {

RawSocket::RawSocket(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) close();
}

RawSocket::~RawSocket() {
    close();
}

void RawSocket::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool RawSocket::send(std::string_view bytes) {
    while (fd_ >= 0 && !bytes.empty()) {
        ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return fd_ >= 0;
}

void RawSocket::shutdownWrite() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

bool RawSocket::readable(std::chrono::milliseconds timeout) {
    if (fd_ < 0) return true;
    pollfd entry{fd_, POLLIN, 0};
    int ready = 0;
    do {
        ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

namespace {

// One read after `readable`: the bytes, or nullopt-like `false` at the end of the connection.
bool readSome(int fd, std::string& into) {
    char buffer[65536];
    ssize_t got = 0;
    do {
        got = ::recv(fd, buffer, sizeof buffer, 0);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return false;
    into.append(buffer, static_cast<std::size_t>(got));
    return true;
}

}  // namespace

std::string RawSocket::readUntilClosed(std::chrono::milliseconds timeout, bool* closed) {
    std::string received;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    bool ended = fd_ < 0;
    while (!ended) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readable(left)) break;
        ended = !readSome(fd_, received);
    }
    if (closed) *closed = ended;
    return received;
}

std::string RawSocket::readUntil(std::string_view marker, std::chrono::milliseconds timeout) {
    std::string received;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fd_ >= 0 && received.find(marker) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readable(left) || !readSome(fd_, received)) break;
    }
    return received;
}

int statusOf(const std::string& answer) {
    if (answer.rfind("HTTP/1.", 0) != 0 || answer.size() < 12) return 0;
    try {
        return std::stoi(answer.substr(9, 3));
    } catch (const std::exception&) {
        return 0;
    }
}

std::string bodyOf(const std::string& answer) {
    auto end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

}  // namespace testkit
