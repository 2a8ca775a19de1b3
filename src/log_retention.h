// The retention sweep: removes the day files of the log writer that are more
// than seven days old, at start-up and each day after. Main thread.
#ifndef THERMOMETRY_LOG_RETENTION_H
#define THERMOMETRY_LOG_RETENTION_H

// Removes the log files in ".log/temp" dated more than seven days back,
// logging each removal and each failure.
void cleanup_old_logs();

// Runs cleanup_old_logs once one more day's file has passed the age limit
// since the last sweep: a second after local midnight (standard time), so
// that no file older than seven days outlives the next midnight however
// long the program runs. Called once a cycle.
void sweep_old_logs_when_due();

#endif  // THERMOMETRY_LOG_RETENTION_H
