#pragma once

// A fresh, empty data root for one test. Creating it resets every shared instance and points
// platform::dataRoot() at a new folder under $TMPDIR; destroying it resets the shared instances
// again, returns the data root to the environment and deletes the folder.

#include <gtest/gtest.h>

#include <filesystem>

namespace testkit {

class TempHome {
  public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Base fixture for tests that touch files or shared instances.
class TempHomeTest : public ::testing::Test {
  protected:
    const std::filesystem::path& homePath() const { return home_.path(); }

  private:
    TempHome home_;
};

}  // namespace testkit
