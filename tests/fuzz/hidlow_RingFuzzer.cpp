// libFuzzer target: each input is a record, a cursor, a read's room and a
// write's batch size (layout in DamagedRecordCheck.h). A violation aborts, so
// the fuzzer keeps it as a crash; AddressSanitizer catches any access outside.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "DamagedRecordCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const qor::test::DamagedRecordOutcome outcome = qor::test::RunOnDamagedRecord(data, size);
    if (!outcome.violation.empty()) {
        std::fprintf(stderr, "damaged record: %s\n", outcome.violation.c_str());
        std::abort();
    }
    return 0;
}
