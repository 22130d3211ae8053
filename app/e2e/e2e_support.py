"""Small helpers of the end-to-end tests that run beside the program: a loopback server that
answers every GET with one document, and the deployment values of a copy of the app's bundle.
"""
import http.server
import threading


def serve(body, content_type="application/json"):
    """A loopback HTTP server answering every GET with `body` (bytes); shut it down when done."""
    class Answer(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Answer)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def url_of(server, path="/"):
    return f"http://127.0.0.1:{server.server_address[1]}{path}"


def set_info_string(resources, key, value):
    """Sets the text of `key` in the Info.plist of a copy of the app's resources."""
    info = resources / "Info.plist"
    text = info.read_text()
    start = text.index(f"<key>{key}</key>")
    begin = text.index("<string>", start) + len("<string>")
    end = text.index("</string>", begin)
    info.write_text(text[:begin] + value + text[end:])
