#pragma once
// Serves the application's key window as a web page on loopback and lets the page and tools act
// on it through a small JSON driver protocol. The server's thread never touches views: each
// request that reads or acts on the screen runs on the main queue, so something must run the main
// loop while requests are made. A frame request waiting for a change holds no thread.
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/display/HttpServer.h"

namespace platform {

struct WebDisplayOptions {
    // How long GET /ui/frame waits for a new revision (on the installed clock).
    std::chrono::milliseconds pollTimeout{25000};
    // What one connection may send and how long it may take.
    loopback::Limits limits;
    // Image resources (<name>.svg or .png).
    std::filesystem::path imageDirectory;
    // The KaTeX files (with their fonts under fonts/).
    std::filesystem::path katexDirectory = "/usr/share/javascript/katex";
};

class WebDisplay {
  public:
    // Listens on 127.0.0.1:`port` (0: an ephemeral port). Throws std::runtime_error when the port
    // cannot be bound. Installs the share-sheet handler: shared images become
    // Library/Caches/Shared/share-<n>.png under the data root, linked in the page.
    explicit WebDisplay(int port, WebDisplayOptions options = {});
    // Main thread. Stops serving; requests still waiting for the main queue or for a new frame
    // are answered 503.
    ~WebDisplay();
    WebDisplay(const WebDisplay&) = delete;
    WebDisplay& operator=(const WebDisplay&) = delete;

    int port() const;
    // "http://127.0.0.1:<port>/"
    std::string url() const;
    // Grows whenever the text dump of the key window changes.
    long revision() const;
    // Main thread: compares the screen with the last one seen (also done after each request and
    // every 100 ms of the clock) and answers the frame requests waiting for a newer one.
    void refresh();
    // Frame requests waiting for a change.
    std::size_t pendingPolls() const;
    // Differs from one display to the next, so that a page notices a restart; frames carry it as
    // "instance".
    const std::string& instance() const;

    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace platform
