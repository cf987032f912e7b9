// A test that starts and ends with every process-wide record back at its start-up state (engine,
// front-end slots, configuration table, logger) and its log in a directory of its own.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/temp_dir.h"

class FreshRecordsTest : public testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    std::string logPath() const { return directory_.file("test.log"); }
    std::string log() const { return ReadWholeFile(logPath()); }
    std::string file(const std::string& name) const { return directory_.file(name); }
    const TempDir& directory() const { return directory_; }

  private:
    TempDir directory_;
};
