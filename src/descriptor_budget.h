// The process's descriptor limit, and the reserve at its top that no TCP
// client gets, so that the camera link can always reconnect and the log
// open its next file. Main thread.
#ifndef THERMOMETRY_DESCRIPTOR_BUDGET_H
#define THERMOMETRY_DESCRIPTOR_BUDGET_H

struct descriptor_budget {
    long limit;    // the soft RLIMIT_NOFILE (INT_MAX when unlimited or unknown)
    long reserve;  // 64, or half the limit when the limit is below 128
};

// The budget now; read anew each time, so that a limit changed from outside
// (prlimit) counts.
descriptor_budget current_descriptor_budget();

// Raises the soft descriptor limit to the hard one, logging a failure.
void raise_descriptor_limit();

#endif  // THERMOMETRY_DESCRIPTOR_BUDGET_H
