// Deletes files on threads of its own, taken up in the order asked, so that
// the main flow can go on deciding about the next files while the system
// removes the last ones. Results are read back by ticket.
#pragma once
#include <cstdint>

#include "core/str.h"

void deleter_start();

// Queues the deletion of `path` (with the force option) and returns its
// ticket. The string must stay unchanged until its result has been read.
std::int32_t deleter_submit(CStr path);

// The result of a ticket: 1 deleted, 0 failed, -1 still pending (only when
// `wait` is false).
std::int32_t deleter_result(std::int32_t ticket, bool wait);

// Finishes the queued deletions and ends the threads.
void deleter_stop();
