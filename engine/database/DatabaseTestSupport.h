#pragma once

// Test support for the database tests (header only): the measurement database open in the test's
// temporary data root, alone or beside the event-test fixture.

#include <gtest/gtest.h>

#include <memory>

#include "engine/database/KLVDatabase.h"
#include "engine/events/EventTestSupport.h"
#include "engine/stores/KLVPersistedConfig.h"

namespace engine::testing {

inline std::shared_ptr<KLVDatabase> openMeasurementDatabase() {
    return KLVDatabase::initWithDatabaseName(kKLVMeasurementDatabaseName,
                                             KLVPersistedConfig::sharedInstance());
}

// An event test (manual clock, chosen server settings) with the measurement database open.
class DatabaseEventTest : public EventTest {
  protected:
    void SetUp() override {
        EventTest::SetUp();
        database_ = openMeasurementDatabase();
        ASSERT_TRUE(database_);
    }

    std::shared_ptr<KLVDatabase> database_;
};

}  // namespace engine::testing
