// For fuzz targets that run code which ends through exit() in a forked child: linked with
// -Wl,--wrap=exit, exit() in any process but the fuzzer's own ends only that process, without
// the fuzzer's exit handlers (which would report the child's end as the fuzzer's).
#pragma once

namespace quovent_fuzz {

// Makes the calling process the fuzzer's: call it once, from LLVMFuzzerInitialize.
void mark_fuzzer_process();

}  // namespace quovent_fuzz
