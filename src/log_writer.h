// The daily log writer: one time-stamped line per call to the day's file
// below ".log/temp" and to standard output. With write_console_line and
// close_log (thermometry.h), every function here may be called from any
// thread; lines never interleave or split.
#ifndef THERMOMETRY_LOG_WRITER_H
#define THERMOMETRY_LOG_WRITER_H

#include <ctime>
#include <string>

// The folder of the day files, relative to the working directory.
inline constexpr const char *log_dir = ".log/temp";

std::string get_current_date();  // local date now, "%Y%m%d"
std::string get_current_time();  // local date and time now, "%Y-%m-%d %H:%M:%S"

// Creates ".log" and ".log/temp" (mode 0755) below the working directory.
// Returns false after writing the reason to standard error.
bool create_log_directory();

// Appends "[time] text\n" to ".log/temp/temp_<date>.log" and echoes the same
// bytes to standard output. The line reaches standard output even when the
// file cannot be opened (said on standard error for each line; a removed log
// folder is created again first) or written (said on standard error once
// when it starts failing and once when it works again). A line is never left
// in the file in part. Does nothing once close_log() has run.
void log_message(const std::string &text);

// Closes the log file and forgets its path, so that the next line opens the
// day's file afresh (below the then working directory); also undoes
// close_log(). For tests, and for nothing that runs while others log.
void reset_log_writer();

// The calendar clock of the log writer and the retention sweep: time(), or
// the test seam's source.
std::time_t current_calendar_time();

// Test seam: replaces the calendar clock. nullptr restores time(). Not for
// use while other threads log.
void set_time_source(std::time_t (*source)());

#endif  // THERMOMETRY_LOG_WRITER_H
