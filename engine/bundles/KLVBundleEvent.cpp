#include "engine/bundles/KLVBundleEvent.h"

#include "engine/base/KLVInternalNames.h"
#include "engine/base/KLVMilliseconds.h"

namespace engine {

namespace {

// A previous time at or below this many seconds counts as unknown and is not written (as the
// event model does).
constexpr double kMinimumPreviousTimestamp = 0x1p-52;

// Event fields after the parameters: name (2, length-delimited), times (3 and 4, varints).
constexpr char kNameKey = 0x12;
constexpr char kTimestampKey = 0x18;
constexpr char kPreviousTimestampKey = 0x20;

void appendVarint(std::string& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>((value & 0x7F) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

}  // namespace

std::optional<KLVBundleEvent> KLVBundleEvent::storedEvent(
    const KLVDatabase::RawEventColumns& columns, const KLVStoredEventLimits& limits) {
    // A purchase may be marked "sandbox" at bundling.
    if (!columns.rowID || *columns.rowID < 0 || !columns.fingerprint || !columns.data ||
        columns.name == "_iap") {
        return std::nullopt;
    }
    const KLVStoredEventScan scan = KLVScanStoredEvent(*columns.data, columns.name, limits);
    if (!scan.passesThrough) return std::nullopt;
    // A real-time mark that is not an integer is logged whenever it is read.
    if (scan.realtime.present && !scan.realtime.integer) return std::nullopt;
    const double previous = static_cast<double>(scan.previousTimestampMillis) / 1000.0;
    // Rebuilding such an event logs that its times are out of order.
    if (previous > columns.timestamp) return std::nullopt;
    KLVBundleEvent event;
    event.rowID_ = *columns.rowID;
    event.name_ = std::string(columns.name);
    event.timestamp_ = columns.timestamp;
    event.previousTimestamp_ = previous;
    event.parameterRecords_.assign(reinterpret_cast<const char*>(scan.parameterRecords.data()),
                                   scan.parameterRecords.size());
    event.realtime_ = scan.realtime;
    event.engagementTime_ = scan.engagementTime;
    event.freeride_ = scan.freeride;
    return event;
}

KLVBundleEvent KLVBundleEvent::rebuiltEvent(KLVRawEventData raw) {
    KLVBundleEvent event;
    event.rowID_ = raw.rowID();
    event.event_ = raw.rawEvent();
    return event;
}

bool KLVBundleEvent::isRealtime() const {
    if (event_) return event_->isRealtime();
    return realtime_.integer == 1;
}

std::optional<std::int64_t> KLVBundleEvent::integerParameter(std::string_view name) const {
    if (event_) {
        const auto found = event_->parameters().find(name);
        if (found == event_->parameters().end() || !found->second.isInt64()) return std::nullopt;
        return found->second.int64Value();
    }
    if (name == "_et") return engagementTime_.integer;
    if (name == "_fr") return freeride_.integer;
    return std::nullopt;
}

bool KLVBundleEvent::hasParameter(std::string_view name) const {
    if (event_) return event_->parameters().contains(name);
    if (name == "_et") return engagementTime_.present;
    if (name == "_fr") return freeride_.present;
    return false;
}

void KLVBundleEvent::clearStoredRealtime() {
    if (event_ || !realtime_.present) return;
    parameterRecords_.erase(realtime_.offset, realtime_.length);
    // Records after the removed one moved up.
    for (KLVStoredParameter* other : {&engagementTime_, &freeride_}) {
        if (other->present && other->offset > realtime_.offset) other->offset -= realtime_.length;
    }
    realtime_ = KLVStoredParameter{};
}

void KLVBundleEvent::setStoredPreviousTimestamp(double previousTimestamp) {
    previousTimestamp_ = previousTimestamp;
}

KLVParameters KLVBundleEvent::storedParameters() const {
    return KLVStoredEventParameters(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(parameterRecords_.data()), parameterRecords_.size()));
}

void KLVBundleEvent::appendEncodedEvent(std::string& out) const {
    if (event_) {
        const auto bytes = event_->protoEvent().protoBuffer();
        if (bytes) out.append(reinterpret_cast<const char*>(bytes->data()), bytes->size());
        return;
    }
    out += parameterRecords_;
    out.push_back(kNameKey);
    appendVarint(out, name_.size());
    out += name_;
    if (const auto millis = KLVMillisecondsFromSeconds(timestamp_)) {
        out.push_back(kTimestampKey);
        appendVarint(out, static_cast<std::uint64_t>(*millis));
    }
    if (previousTimestamp_ > kMinimumPreviousTimestamp) {
        if (const auto millis = KLVMillisecondsFromSeconds(previousTimestamp_)) {
            out.push_back(kPreviousTimestampKey);
            appendVarint(out, static_cast<std::uint64_t>(*millis));
        }
    }
}

}  // namespace engine
