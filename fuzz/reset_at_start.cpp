// Linked into the targets that drive the process-wide records: they start from the records'
// start-up state, with the log quiet (see ResetProcessRecords).
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ResetProcessRecords();
    return 0;
}
