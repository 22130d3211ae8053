#pragma once

// Test support (header only): what reached the measurement host during a scripted run, as a
// canonical text that can be kept in the repository and compared, and the comparison itself.
//
// The uploaded bytes are read straight from the wire (not through the engine's own decoder):
// every field shows its tag number and its name in the schema, in the order sent; a message made
// only of scalars fits on one line. What differs between runs of the same script is normalised:
// times become offsets from the script's start ("T+15.000s"), random identifiers become "<id-N>"
// numbered by first appearance (equal IDs stay equal, a new one shows as a new number), and the
// checksum, the monitoring data and the facts of the machine running the test are replaced by
// placeholders.

#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "engine/messages/MessageType.h"
#include "testkit/LoopbackServer.h"

namespace engine::testing {

// Set to 1 to rewrite the expected files from the run instead of comparing with them.
inline constexpr char kUpdateGoldenVariable[] = "TESSALINE_UPDATE_GOLDEN";

class UploadTranscript {
  public:
    // `startSeconds`: the script's start (seconds since 1970), from which times are counted.
    explicit UploadTranscript(double startSeconds)
        : startMillis_(static_cast<std::int64_t>(startSeconds * 1000)) {}

    // A line of the script, as it was run.
    void note(const std::string& line) { text_ += line + "\n"; }

    // One request the host received.
    void addRequest(const testkit::RecordedRequest& request) {
        if (request.method == "POST" && request.path == "/a") {
            text_ += "  POST /a\n";
            const auto* batch = messageTypeNamed("MeasurementBatch");
            message(request.body, *batch, 2);
            return;
        }
        // Only the kind of the other requests matters here (the configuration's query carries
        // version numbers of the build).
        text_ += "  " + request.method + " " + request.path + "\n";
    }

    const std::string& text() const { return text_; }

    // A time in milliseconds since 1970 as an offset from the start.
    std::string millisText(std::int64_t millis) const {
        if (millis == 0) return "0";
        const std::int64_t offset = millis - startMillis_;
        const std::int64_t magnitude = offset < 0 ? -offset : offset;
        char fraction[8];
        std::snprintf(fraction, sizeof fraction, "%03lld",
                      static_cast<long long>(magnitude % 1000));
        return std::string("T") + (offset < 0 ? "-" : "+") + std::to_string(magnitude / 1000) +
               "." + fraction + "s";
    }
    std::string secondsText(std::int64_t seconds) const {
        if (seconds == 0) return "0";
        return millisText(seconds * 1000);
    }

  private:
    // How a field's value is shown, beyond its type.
    enum class Shown { plain, millis, seconds, randomID, placeholder };

    struct Reader {
        std::string_view bytes;
        std::size_t pos = 0;
        bool failed = false;

        bool atEnd() const { return pos >= bytes.size() || failed; }
        std::uint64_t varint() {
            std::uint64_t value = 0;
            for (int shift = 0; shift < 64; shift += 7) {
                if (pos >= bytes.size()) break;
                const auto byte = static_cast<std::uint8_t>(bytes[pos++]);
                value |= std::uint64_t{byte & 0x7Fu} << shift;
                if ((byte & 0x80u) == 0) return value;
            }
            failed = true;
            return 0;
        }
        std::uint64_t fixed(int size) {
            if (bytes.size() - pos < static_cast<std::size_t>(size)) {
                failed = true;
                return 0;
            }
            std::uint64_t value = 0;
            for (int i = 0; i < size; ++i)
                value |= std::uint64_t{static_cast<std::uint8_t>(bytes[pos + i])} << (8 * i);
            pos += static_cast<std::size_t>(size);
            return value;
        }
        std::string_view delimited() {
            const std::uint64_t length = varint();
            if (failed || length > bytes.size() - pos) {
                failed = true;
                return {};
            }
            const auto out = bytes.substr(pos, static_cast<std::size_t>(length));
            pos += static_cast<std::size_t>(length);
            return out;
        }
    };

    static std::string quoted(std::string_view text) {
        std::string out = "\"";
        for (const char c : text) {
            const auto byte = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                out += '\\';
                out += c;
            } else if (byte < 0x20 || byte == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
                out += escaped;
            } else {
                out += c;
            }
        }
        return out + "\"";
    }

    static std::string doubleText(double value) {
        char buffer[64];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        return std::string(buffer, result.ptr);
    }

    // The scalar of a wire value as its schema type reads it.
    static std::string scalarText(std::int32_t type, std::uint64_t bits) {
        switch (type) {
            case kKindBool:
                return bits != 0 ? "true" : "false";
            case kKindInt32:
            case kKindEnum:
                return std::to_string(static_cast<std::int32_t>(bits));
            case kKindInt64:
                return std::to_string(static_cast<std::int64_t>(bits));
            case kKindUInt32:
            case kKindUInt64:
                return std::to_string(bits);
            case kKindFloat: {
                const auto narrow = static_cast<std::uint32_t>(bits);
                float value;
                std::memcpy(&value, &narrow, sizeof value);
                return doubleText(value);
            }
            case kKindDouble: {
                double value;
                std::memcpy(&value, &bits, sizeof value);
                return doubleText(value);
            }
            default:
                return std::to_string(bits);
        }
    }

    static Shown shownAs(std::string_view message, std::string_view field) {
        struct Rule {
            std::string_view message;
            std::string_view field;
            Shown shown;
        };
        static constexpr Rule kRules[] = {
            {"Event", "timestamp_millis", Shown::millis},
            {"Event", "previous_timestamp_millis", Shown::millis},
            {"UserAttribute", "set_timestamp_millis", Shown::millis},
            {"AdCampaignInfo", "timestamp_millis", Shown::millis},
            {"DynamicFilterResultTimestamp", "timestamp_millis", Shown::seconds},
            {"SequenceFilterResultTimestamp", "eval_timestamps", Shown::seconds},
            {"MeasurementBundle", "upload_timestamp_millis", Shown::millis},
            {"MeasurementBundle", "start_timestamp_millis", Shown::millis},
            {"MeasurementBundle", "end_timestamp_millis", Shown::millis},
            {"MeasurementBundle", "previous_start_timestamp_millis", Shown::millis},
            {"MeasurementBundle", "previous_end_timestamp_millis", Shown::millis},
            {"MeasurementBundle", "app_instance_id", Shown::randomID},
            {"MeasurementBundle", "ephemeral_app_instance_id", Shown::randomID},
            {"MeasurementBundle", "session_stitching_token", Shown::randomID},
            {"MeasurementBundle", "vendor_device_id", Shown::randomID},
            {"MeasurementBundle", "resettable_device_id", Shown::randomID},
            {"MeasurementBundle", "installation_id", Shown::randomID},
            {"MeasurementBundle", "bundle_checksum", Shown::placeholder},
            {"MeasurementBundle", "monitoring_data", Shown::placeholder},
            // The machine's own facts.
            {"MeasurementBundle", "os_version", Shown::placeholder},
            {"MeasurementBundle", "device_model", Shown::placeholder},
            {"MeasurementBundle", "user_default_language", Shown::placeholder},
            {"MeasurementBundle", "time_zone_offset_minutes", Shown::placeholder},
        };
        for (const auto& rule : kRules) {
            if (rule.message == message && rule.field == field) return rule.shown;
        }
        return Shown::plain;
    }

    // Parameters and user properties whose integer value is a time: the session ID in seconds,
    // the first-open time in milliseconds.
    static Shown valueShownAs(std::string_view name) {
        if (name == "_sid") return Shown::seconds;
        if (name == "_fot") return Shown::millis;
        return Shown::plain;
    }

    std::string idText(std::string_view value) {
        const auto [it, added] =
            ids_.try_emplace(std::string(value), "<id-" + std::to_string(ids_.size() + 1) + ">");
        return it->second;
    }

    std::string valueText(const MessageType& type, const FieldInfo& field, std::uint64_t bits,
                          std::string_view valueOwner) {
        const std::int32_t valueType = kindValueType(field.kind);
        Shown shown = shownAs(type.name(), field.name);
        if (shown == Shown::plain && valueType == kKindInt64 &&
            std::string_view(field.name) == "int_value") {
            shown = valueShownAs(valueOwner);
        }
        if (shown == Shown::placeholder) return "<" + std::string(field.name) + ">";
        if (shown == Shown::millis) return millisText(static_cast<std::int64_t>(bits));
        if (shown == Shown::seconds) return secondsText(static_cast<std::int64_t>(bits));
        return scalarText(valueType, bits);
    }

    std::string bytesText(const MessageType& type, const FieldInfo& field, std::string_view bytes) {
        const Shown shown = shownAs(type.name(), field.name);
        if (shown == Shown::placeholder) return "<" + std::string(field.name) + ">";
        if (shown == Shown::randomID) return idText(bytes);
        if (kindValueType(field.kind) == kKindString) return quoted(bytes);
        std::string hex = "0x";
        for (const char c : bytes) {
            char pair[3];
            std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned char>(c));
            hex += pair;
        }
        return hex;
    }

    // The first length-delimited field of an encoded message that `wanted` accepts, as
    // (field, bytes); nothing when none does.
    template <typename Wanted>
    static std::optional<std::pair<const FieldInfo*, std::string_view>> findDelimited(
        std::string_view bytes, const MessageType& type, Wanted wanted) {
        Reader reader{bytes};
        while (!reader.atEnd()) {
            const std::uint64_t key = reader.varint();
            const auto index = type.indexForTag(static_cast<std::uint32_t>(key >> 3));
            const FieldInfo* field = index ? &type.field(*index) : nullptr;
            switch (key & 7) {
                case 0:
                    reader.varint();
                    break;
                case 1:
                    reader.fixed(8);
                    break;
                case 5:
                    reader.fixed(4);
                    break;
                case 2: {
                    const auto value = reader.delimited();
                    if (field && wanted(*field)) return std::pair{field, value};
                    break;
                }
                default:
                    return std::nullopt;
            }
        }
        return std::nullopt;
    }

    // Whether this encoded message holds a sub-message: such a message is spread over lines.
    static bool holdsSubmessage(std::string_view bytes, const MessageType& type) {
        return findDelimited(
                   bytes, type,
                   [](const FieldInfo& field) { return kindValueType(field.kind) == kKindMessage; })
            .has_value();
    }

    // The "name" field of a one-line message, which tells how its value is shown.
    static std::string nameIn(std::string_view bytes, const MessageType& type) {
        const auto name = findDelimited(bytes, type, [](const FieldInfo& field) {
            return std::string_view(field.name) == "name";
        });
        return name ? std::string(name->second) : std::string();
    }

    // The fields of one message: one line per field, or all on the caller's line when `inline`.
    // Answers the text; for a message spread over lines, writes them.
    std::string fields(std::string_view bytes, const MessageType& type, int indent, bool oneLine) {
        const std::string pad(static_cast<std::size_t>(indent), ' ');
        const std::string owner = oneLine ? nameIn(bytes, type) : std::string();
        std::vector<std::string> parts;
        Reader reader{bytes};
        while (!reader.atEnd()) {
            const std::uint64_t key = reader.varint();
            if (reader.failed) break;
            const auto tag = static_cast<std::uint32_t>(key >> 3);
            const auto wire = static_cast<int>(key & 7);
            const auto index = type.indexForTag(tag);
            const FieldInfo* field = index ? &type.field(*index) : nullptr;
            const std::string label =
                std::to_string(tag) + " " + (field ? field->name : "<unknown>");
            std::string value;
            switch (wire) {
                case 0:
                    value = field ? valueText(type, *field, reader.varint(), owner)
                                  : std::to_string(reader.varint());
                    break;
                case 1:
                    value = field ? valueText(type, *field, reader.fixed(8), owner)
                                  : std::to_string(reader.fixed(8));
                    break;
                case 5:
                    value = field ? valueText(type, *field, reader.fixed(4), owner)
                                  : std::to_string(reader.fixed(4));
                    break;
                case 2: {
                    const auto inner = reader.delimited();
                    if (!field) {
                        value = bytesText(type, FieldInfo{}, inner);
                    } else if (kindValueType(field->kind) == kKindMessage) {
                        const MessageType& sub = *field->messageType;
                        if (!oneLine && holdsSubmessage(inner, sub)) {
                            text_ += pad + label + " {\n";
                            message(inner, sub, indent + 2);
                            text_ += pad + "}\n";
                            continue;
                        }
                        value = "{" + fields(inner, sub, 0, true) + "}";
                    } else if (kindValueType(field->kind) == kKindString ||
                               kindValueType(field->kind) == kKindBytes) {
                        value = bytesText(type, *field, inner);
                    } else {
                        // A packed list of scalars.
                        Reader packed{inner};
                        std::string list;
                        while (!packed.atEnd()) {
                            const std::int32_t valueType = kindValueType(field->kind);
                            const std::uint64_t bits = valueType == kKindDouble  ? packed.fixed(8)
                                                       : valueType == kKindFloat ? packed.fixed(4)
                                                                                 : packed.varint();
                            list +=
                                (list.empty() ? "" : ", ") + valueText(type, *field, bits, owner);
                        }
                        value = "[" + list + "]";
                    }
                    break;
                }
                default:
                    reader.failed = true;
                    value = "<undecodable wire type " + std::to_string(wire) + ">";
                    break;
            }
            if (oneLine) {
                parts.push_back(label + ": " + value);
            } else {
                text_ += pad + label + ": " + value + "\n";
            }
        }
        if (reader.failed) {
            if (oneLine)
                parts.push_back("<truncated>");
            else
                text_ += pad + "<truncated>\n";
        }
        std::string joined;
        for (const auto& part : parts)
            joined += (joined.empty() ? "" : ", ") + part;
        return joined;
    }

    void message(std::string_view bytes, const MessageType& type, int indent) {
        fields(bytes, type, indent, false);
    }

    std::int64_t startMillis_;
    std::string text_;
    std::map<std::string, std::string, std::less<>> ids_;
};

// --- Expected files ---------------------------------------------------------------------------

// The lines of a text.
inline std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

// A line-by-line difference (longest common subsequence): "-" expected only, "+" actual only,
// with two lines of context around each change.
inline std::string lineDiff(const std::vector<std::string>& expected,
                            const std::vector<std::string>& actual) {
    const std::size_t n = expected.size();
    const std::size_t m = actual.size();
    std::vector<std::vector<std::uint32_t>> common(n + 1, std::vector<std::uint32_t>(m + 1, 0));
    for (std::size_t i = n; i-- > 0;) {
        for (std::size_t j = m; j-- > 0;) {
            common[i][j] = expected[i] == actual[j] ? common[i + 1][j + 1] + 1
                                                    : std::max(common[i + 1][j], common[i][j + 1]);
        }
    }
    struct Line {
        char mark;
        std::string text;
    };
    std::vector<Line> all;
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < n || j < m) {
        if (i < n && j < m && expected[i] == actual[j]) {
            all.push_back({' ', expected[i++]});
            ++j;
        } else if (j < m && (i == n || common[i][j + 1] >= common[i + 1][j])) {
            all.push_back({'+', actual[j++]});
        } else {
            all.push_back({'-', expected[i++]});
        }
    }
    std::string out;
    constexpr std::size_t kContext = 2;
    std::size_t lastShown = 0;
    bool any = false;
    for (std::size_t k = 0; k < all.size(); ++k) {
        bool near = false;
        for (std::size_t d = k >= kContext ? k - kContext : 0;
             d < all.size() && d <= k + kContext && !near; ++d) {
            near = all[d].mark != ' ';
        }
        if (!near) continue;
        if (any && k > lastShown + 1) out += "   ...\n";
        out += std::string(1, all[k].mark) + "  " + all[k].text + "\n";
        lastShown = k;
        any = true;
    }
    return out;
}

// Compares a run with its expected file: the lines after the file's header (its leading "#"
// lines, which say what the run shows) must equal the run's transcript. With
// TESSALINE_UPDATE_GOLDEN=1 the file is rewritten instead, its header kept.
inline void expectMatchesGoldenFile(const std::filesystem::path& file,
                                    const std::string& transcript) {
    std::string header;
    std::string expected;
    {
        std::ifstream in(file);
        bool inHeader = true;
        for (std::string line; std::getline(in, line);) {
            if (inHeader && (line.empty() || line.front() == '#')) {
                header += line + "\n";
                continue;
            }
            inHeader = false;
            expected += line + "\n";
        }
    }
    const char* update = std::getenv(kUpdateGoldenVariable);
    if (update && std::string_view(update) == "1") {
        if (header.empty()) header = "# (say here what each part of this run shows)\n\n";
        std::ofstream out(file, std::ios::trunc);
        out << header << transcript;
        ASSERT_TRUE(out.good()) << "cannot write " << file;
        return;
    }
    if (expected == transcript) return;
    ADD_FAILURE() << "The upload differs from " << file << " (- expected, + this run):\n"
                  << lineDiff(linesOf(expected), linesOf(transcript))
                  << "If the change is intended, rewrite the expected files with\n  "
                  << kUpdateGoldenVariable << "=1 ctest --test-dir <build> -R GoldenUpload\n"
                  << "and commit them with the change.";
}

}  // namespace engine::testing
