#include "tests/support/fresh_records.h"

#include "common/config_store.h"
#include "common/log.h"
#include "common/run_control.h"
#include "common/status.h"
#include "engine/libzembril.h"

namespace {

void ResetRecords() {
    ResetEngineState();
    ClearFrontEndSlots();
    ResetRunControl();
    ResetConfigTable();
    ResetLogger();
}

}  // namespace

void FreshRecordsTest::SetUp() {
    ResetRecords();
    SetLogPath(logPath().c_str());
}

void FreshRecordsTest::TearDown() {
    ResetRecords();
}
