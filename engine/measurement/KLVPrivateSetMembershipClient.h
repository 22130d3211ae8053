#pragma once

// The on-device conversion client: an optional library that turns user data (an e-mail address or
// phone number, plain or hashed) into the query URL of a private-set-membership look-up and reads
// the answer. The engine only calls it. An app that links such a library installs its "class" (the
// initialisers it offers) with KLVSetPrivateSetMembershipClientClass; by default there is none,
// and on-device conversion measurement stays off.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"

namespace engine {

// Input types the client reports.
inline constexpr std::int64_t kKLVPSMInputTypeEmailAddress = 1;
inline constexpr std::int64_t kKLVPSMInputTypePhoneNumber = 2;
inline constexpr std::int64_t kKLVPSMInputTypeHashedEmailAddress = 3;
inline constexpr std::int64_t kKLVPSMInputTypeHashedPhoneNumber = 4;

class KLVPrivateSetMembershipClient {
  public:
    virtual ~KLVPrivateSetMembershipClient() = default;
    // The query URL for this attempt; nothing when none can be made.
    virtual std::optional<std::string> PSMRequestURLWithRetryCount(std::int32_t retryCount) = 0;
    virtual std::int64_t inputType() const = 0;
    // The matched value of an answer body; empty when there is no match.
    virtual std::string parsedPSMValueFromResponse(const platform::Data& data) = 0;
    // A key for the back end's debug view; nothing when the client has none.
    virtual std::optional<std::string> debugKey() const { return std::nullopt; }
};

// The initialisers a client library offers; an empty one is an initialiser it lacks. Each answers
// a client or null.
struct KLVPrivateSetMembershipClientClass {
    using Client = std::shared_ptr<KLVPrivateSetMembershipClient>;
    // (input, app ID, prefix bit length)
    std::function<Client(const std::string&, const std::string&, std::int32_t)>
        initWithEmailAddressPrefixBitLength;
    std::function<Client(const std::string&, const std::string&)> initWithEmailAddress;
    std::function<Client(const std::string&, const std::string&, std::int32_t)>
        initWithPhoneNumberPrefixBitLength;
    std::function<Client(const std::string&, const std::string&)> initWithPhoneNumber;
    std::function<Client(const std::string&, const std::string&, std::int32_t)>
        initWithHashedEmailAddressPrefixBitLength;
    std::function<Client(const std::string&, const std::string&, std::int32_t)>
        initWithHashedPhoneNumberPrefixBitLength;
};

// Installs (or, with nothing, removes) the client library of this process. Any thread.
void KLVSetPrivateSetMembershipClientClass(std::optional<KLVPrivateSetMembershipClientClass> c);
// The installed client library; nothing by default.
std::optional<KLVPrivateSetMembershipClientClass> KLVPrivateSetMembershipClientClassLookUp();

}  // namespace engine
