#include "platform/net/Gzip.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <string>

#include "platform/net/BoundedGrowth.h"

namespace platform {

namespace {

// windowBits for zlib: 15 bits of window, +16 selects the gzip wrapper (and only that one).
constexpr int kGzipWindowBits = MAX_WBITS + 16;
constexpr int kMemoryLevel = 8;
constexpr std::size_t kChunk = 64 * 1024;
// zlib counts in uInt; larger inputs are fed in pieces of this size.
constexpr std::size_t kMaxFeed = std::numeric_limits<uInt>::max();

Error gzipError(GzipErrorCode code, std::string description) {
    return Error{kGzipErrorDomain, code, std::move(description), {}};
}

// Owns a z_stream set up for deflate or inflate and ends it on every path.
class ZStream {
  public:
    enum class Mode { Deflate, Inflate };

    explicit ZStream(Mode mode) : mode_(mode) {
        const int status = mode == Mode::Deflate
                               ? deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED,
                                              kGzipWindowBits, kMemoryLevel, Z_DEFAULT_STRATEGY)
                               : inflateInit2(&stream_, kGzipWindowBits);
        ready_ = status == Z_OK;
    }
    ~ZStream() {
        if (!ready_) return;
        if (mode_ == Mode::Deflate) {
            deflateEnd(&stream_);
        } else {
            inflateEnd(&stream_);
        }
    }
    ZStream(const ZStream&) = delete;
    ZStream& operator=(const ZStream&) = delete;

    bool ready() const { return ready_; }
    z_stream* operator->() { return &stream_; }
    z_stream* get() { return &stream_; }

  private:
    Mode mode_;
    bool ready_ = false;
    z_stream stream_{};
};

// Hands zlib the next piece of input (at most kMaxFeed bytes) when it has used up the last one.
void feed(z_stream* stream, std::span<const std::uint8_t>& rest) {
    if (stream->avail_in != 0 || rest.empty()) return;
    const std::size_t n = std::min(rest.size(), kMaxFeed);
    // zlib's API is not const-correct; it never writes through next_in.
    stream->next_in = const_cast<Bytef*>(rest.data());
    stream->avail_in = static_cast<uInt>(n);
    rest = rest.subspan(n);
}

}  // namespace

std::optional<Data> gzipData(std::span<const std::uint8_t> bytes, Error* error) {
    ZStream stream(ZStream::Mode::Deflate);
    if (!stream.ready()) {
        return failWith<std::optional<Data>>(
            error, gzipError(kGzipErrorCompressionFailed, "Could not start gzip compression"));
    }
    Data out;
    std::span<const std::uint8_t> rest = bytes;
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        feed(stream.get(), rest);
        const int flush = rest.empty() ? Z_FINISH : Z_NO_FLUSH;
        const std::size_t used = out.size();
        out.resize(used + kChunk);
        stream->next_out = out.data() + used;
        stream->avail_out = static_cast<uInt>(kChunk);
        status = deflate(stream.get(), flush);
        out.resize(out.size() - stream->avail_out);
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
            return failWith<std::optional<Data>>(
                error, gzipError(kGzipErrorCompressionFailed, "gzip compression failed"));
        }
    }
    return out;
}

std::optional<Data> gunzipData(std::span<const std::uint8_t> bytes, std::size_t maximumSize,
                               Error* error) {
    const auto notGzip = [&](const char* what) {
        return failWith<std::optional<Data>>(
            error, gzipError(kGzipErrorNotGzip, std::string("Data is not valid gzip: ") + what));
    };
    if (bytes.empty()) return notGzip("empty input");
    ZStream stream(ZStream::Mode::Inflate);
    if (!stream.ready()) return notGzip("could not start inflation");

    Data out;
    std::span<const std::uint8_t> rest = bytes;
    while (true) {
        feed(stream.get(), rest);
        const std::size_t used = out.size();
        // Never grow past the cap plus one byte: the extra byte is how an overflow shows.
        // (Spelt so that a cap of SIZE_MAX cannot wrap the room round to zero.)
        const std::size_t left = maximumSize - used;
        const std::size_t room = left < kChunk ? left + 1 : kChunk;
        reserveWithin(out, used + room, std::max(maximumSize, maximumSize + 1));  // saturating
        out.resize(used + room);
        stream->next_out = out.data() + used;
        stream->avail_out = static_cast<uInt>(room);
        const int status = inflate(stream.get(), Z_NO_FLUSH);
        out.resize(out.size() - stream->avail_out);
        if (out.size() > maximumSize) {
            return failWith<std::optional<Data>>(
                error, gzipError(kGzipErrorTooLarge, "Inflated data exceeds " +
                                                         std::to_string(maximumSize) + " bytes"));
        }
        if (status == Z_STREAM_END) {
            if (stream->avail_in == 0 && rest.empty()) return out;
            // Another gzip member follows, as in the output of `cat a.gz b.gz`.
            if (inflateReset(stream.get()) != Z_OK) return notGzip("could not restart");
            continue;
        }
        if (status == Z_BUF_ERROR && stream->avail_in == 0 && rest.empty()) {
            return notGzip("truncated");
        }
        if (status != Z_OK && status != Z_BUF_ERROR) {
            return notGzip(stream->msg ? stream->msg : "corrupt stream");
        }
    }
}

}  // namespace platform
