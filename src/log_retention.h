// The retention sweep: removes the day files of the log writer that are more
// than seven days old. Main thread.
#ifndef THERMOMETRY_LOG_RETENTION_H
#define THERMOMETRY_LOG_RETENTION_H

// Removes the log files in ".log/temp" dated more than seven days back,
// logging each removal and each failure.
void cleanup_old_logs();

#endif  // THERMOMETRY_LOG_RETENTION_H
