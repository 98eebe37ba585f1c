// Deletes files on threads of its own, taken up in the order asked, so that
// the main flow can go on deciding about the next files while the system
// removes the last ones. Each deletion is confirmed on its thread at the
// moment of removal: the file is held open, its bytes are compared with
// the kept file's (which must be another file), and only then, while its
// path still leads to it, is it removed. Results are read back by ticket.
#pragma once
#include <cstdint>

#include "core/str.h"

// Decisions that may wait for a deletion thread at once; a further
// submission waits until one is done, so no decision waits long.
constexpr std::int32_t DELETER_CAPACITY = 64;

// Starts the threads; the paths to delete lie below a root made of their
// first `root_length` units. Where no thread can be started, each
// deletion runs when it is submitted.
void deleter_start(std::int32_t root_length);

// Queues the deletion of `path` (with the force option) as a copy of
// `kept` and returns its ticket. Both strings must stay unchanged until
// the result has been read.
std::int32_t deleter_submit(CStr path, CStr kept);

// The result of a ticket: 1 deleted, 0 failed or refused (not deleted),
// -1 still pending (only when `wait` is false).
std::int32_t deleter_result(std::int32_t ticket, bool wait);

// Finishes the queued deletions and ends the threads.
void deleter_stop();

// Confirms and deletes one file as a deletion thread does: 1 when `path`
// was deleted, 0 when not (the file or the kept one could not be held or
// read to its end, both paths reach one file, their bytes differ, the path
// no longer leads to the file compared, or the removal failed).
// `buffer`: FP_COMPARE_BUFFER_BYTES for the comparison, or null.
std::int32_t deleter_confirm_and_delete(CStr path, CStr kept, std::int32_t root_length,
                                        unsigned char* buffer = nullptr);
