// thermometry: reads a network thermal camera's live temperature through the
// camera SDK and hands it on, on the console or to TCP clients, and to an
// MQTT broker. This header
// is what main calls; each concern behind it has a source file of its own,
// and a header of its own for what the other concerns and the tests need.
//
// Threads: the main thread (start-up, console mode or TCP server), the SDK's
// callback thread(s), one signal thread that waits for SIGINT, SIGTERM or
// SIGHUP and carries out the shutdown, and the MQTT output's thread when -m
// asks for it. Every operation says who may call it.
//
// Locks, outermost first; a thread holding one takes only those after it:
//   1. the main work lock (shutdown.cpp): one console line or server cycle,
//      or a shutdown from its start to the end of the process;
//   2. g_link_mutex (camera_link.cpp): the stream's start and its shutdown;
//      g_notify_mutex (service_notify.cpp): the notification socket;
//      neither is taken under the other;
//   3. g_record_mutex (camera_link.cpp): the reading handed to the outputs;
//      finished_mutex_ (mqtt_output.cpp): the MQTT thread's end;
//      g_log_mutex (log_writer.cpp): the day file and standard output;
//      none is taken under another.
#ifndef THERMOMETRY_H
#define THERMOMETRY_H

#include <cstddef>
#include <cstdint>
#include <string>

// ---- command line (command_line.cpp, camera_url.cpp) -----------------------

// Reads a -c or -t argument as strtol with base 10 does (leading blanks, a
// sign, digits, anything after them ignored). Returns false when no digit
// leads the text or the value does not fit a 32-bit signed integer.
bool parse_int_option(const char *text, int32_t *value);

// The camera URL from the file at path ("-s @path"): its first line, without
// the line feed or carriage return and line feed that end it. Returns false,
// with the reason in *reason (a strerror text, or a word on the content),
// when the file cannot be read, is larger than 4096 bytes (a URL is at most
// 2048) or its first line is empty.
bool read_url_file(const std::string &path, std::string *url, std::string *reason);

// The same, but an empty first line is read as it is ("-m @path": an empty
// MQTT URL turns the output off).
bool read_first_line(const std::string &path, std::string *line, std::string *reason);

// Where the password of a URL lies: when it has "://" followed later by an
// '@', the characters between the first ':' after "://" and the last '@'.
// Sets *begin and *length and returns true, or returns false when there is
// none.
bool find_url_password(const std::string &url, size_t *begin, size_t *length);

// ---- log writer (log_writer.cpp) -------------------------------------------

// Writes line plus a newline to standard output as one piece, never split by
// a log line. Any thread. Does nothing once close_log() has run.
void write_console_line(const std::string &line);

// Closes the log file and flushes standard output; afterwards nothing more
// is written to either.
void close_log();

// ---- camera link (camera_link.cpp) -----------------------------------------

// Brings the camera link up: log directories, retention sweep, URL, SDK
// initialisation, login (three attempts, two seconds apart), real-time
// thermometry stream for channel. Returns 0 when the stream runs, -1 on
// failure (already logged). Main thread only.
int init_thermometry(const std::string &url, int32_t channel);

// Stops the stream, logs out, releases the SDK and resets the temperature,
// once after a successful start-up; any later or concurrent call does nothing.
void cleanup_thermometry();

// ---- shutdown and signals (shutdown.cpp) -----------------------------------

// Blocks SIGINT, SIGTERM and SIGHUP (unless SIGHUP was ignored at start) in
// the calling thread (and so in every thread it starts later, the SDK's among
// them) and starts the thread that waits for them and carries out the
// shutdown. Call from main before the SDK starts.
// Returns false, with a message on standard error, if the thread can't start.
bool install_signal_handler();

// Claims the right to end the process for the caller (main, on its way out).
// If a signal's shutdown is already under way, waits for it to end the
// process instead and never returns. Either way only one path ends it.
void claim_exit();

// ---- socket activation (socket_activation.cpp) ----------------------------

// Takes the listening sockets that the service manager passed ($LISTEN_PID
// is this process, $LISTEN_FDS counts them from descriptor 3), checks them
// and unsets the variables. Call from main before any thread starts; the
// TCP server serves them instead of binding a socket of its own.
void take_passed_sockets();

// Stops the outputs that run on threads of their own, after each has said
// goodbye where it can (the MQTT output's status offline). Main, on its way
// out after a failure; a signal's shutdown does the same by itself.
void stop_outputs();

// ---- MQTT output (mqtt_url.cpp, mqtt_output.cpp) --------------------------

// What is wrong with an -m URL, in words that never show its password; ""
// when it is a good one. Pure.
std::string check_mqtt_url(const std::string &url);

// Where the password of an -m URL lies (between the ':' after the user and
// the '@' before the host). Sets *begin and *length and returns true, or
// returns false when there is none.
bool find_mqtt_password(const std::string &url, size_t *begin, size_t *length);

// Starts publishing readings to the broker of url, on a thread of its own
// that connects and reconnects by itself: the broker is never needed for
// anything else to run. An empty url, like an -m not given, starts nothing
// (and says so). Returns false after logging why it could not start; the
// program then ends with a failure.
// Main thread, once, after init_thermometry succeeded.
bool start_mqtt_output(const std::string &url, int32_t channel);

// ---- console mode (console.cpp) --------------------------------------------

// Prints "Starting console mode" and its two lines, then the latest
// temperature once a second until a signal ends the program. Main thread.
[[noreturn]] void run_console_mode();

// ---- TCP temperature server (tcp_server.cpp) -------------------------------

// Serves the latest temperature to TCP clients on port, once a second, on
// the main thread, after raising the soft descriptor limit to the hard one.
// Returns only after a set-up failure (logged, socket closed), which the
// caller treats as the program's failure.
void start_tcp_server(int port);

#endif  // THERMOMETRY_H
