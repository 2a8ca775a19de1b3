// systemd's notification datagrams on $NOTIFY_SOCKET (a path, or an abstract
// name written with a leading '@'). Without $NOTIFY_SOCKET nothing is sent.
// WATCHDOG=1 goes with each cycle when $WATCHDOG_USEC asks for it (and
// $WATCHDOG_PID, when set, is this process). A failed send is logged when it
// starts failing and when it works again. Any thread; the main thread sends
// READY and each cycle's notice holding the main work lock, so that nothing
// follows a shutdown's STOPPING=1.
#ifndef THERMOMETRY_SERVICE_NOTIFY_H
#define THERMOMETRY_SERVICE_NOTIFY_H

#include <string>

// READY=1 and the first STATUS=: the stream runs and the mode (described by
// mode, such as "Console mode") is ready.
void notify_ready(const std::string &mode);

// One cycle done (a console line, a server cycle): STATUS= with the mode and
// the latest reading, and WATCHDOG=1 when asked for.
void notify_cycle(const std::string &mode);

// STOPPING=1: the shutdown on signal signo has begun.
void notify_stopping(int signo);

#endif  // THERMOMETRY_SERVICE_NOTIFY_H
