#pragma once

// One audience's evaluation results (a row of "audience_filter_values"): the encoded ResultData
// of the latest evaluation and the one as of the previous upload bundle. Empty bytes stand for
// no results. Immutable once made.

#include <cstdint>
#include <iosfwd>
#include <utility>

#include "platform/foundation/Object.h"

namespace engine {

class KLVFilterResult {
  public:
    KLVFilterResult(std::int32_t audienceID, platform::Data currentResults,
                    platform::Data previousResults)
        : audienceID_(audienceID),
          currentResults_(std::move(currentResults)),
          previousResults_(std::move(previousResults)) {}
    static KLVFilterResult initWithAudienceID(std::int32_t audienceID,
                                              platform::Data currentResults,
                                              platform::Data previousResults) {
        return KLVFilterResult(audienceID, std::move(currentResults), std::move(previousResults));
    }

    std::int32_t audienceID() const { return audienceID_; }
    const platform::Data& currentResults() const { return currentResults_; }
    const platform::Data& previousResults() const { return previousResults_; }

    friend bool operator==(const KLVFilterResult&, const KLVFilterResult&) = default;

  private:
    std::int32_t audienceID_;
    platform::Data currentResults_;
    platform::Data previousResults_;
};

// For failure messages: KLVFilterResult{audienceID: 3, currentResults: <0a02...>, ...}.
void PrintTo(const KLVFilterResult& result, std::ostream* os);

}  // namespace engine
