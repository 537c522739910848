// Where device contexts live. Each gets an address never handed out before,
// so that a stale handle can never reach a context opened later (it answers
// ENODEV however many reopens came since), and a closed context's memory goes
// back to the system, so that reopening forever costs nothing. Caller holds
// the world lock.
#pragma once

#include "vexasdk/context.h"

namespace vsim {

// A new, zeroed context, or null when no address space is left.
vexasdk_dev_ctx* new_context();
// Gives back the memory of a context that is closed; its address stays
// reserved and unreadable.
void retire_context(vexasdk_dev_ctx* ctx);

}  // namespace vsim
