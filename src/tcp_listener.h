// The TCP server's listening sockets: the ones the service manager passed,
// or one of our own on every local address, IPv6 and IPv4 alike. Main
// thread.
#ifndef THERMOMETRY_TCP_LISTENER_H
#define THERMOMETRY_TCP_LISTENER_H

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

// The listening sockets for port, non-blocking and close-on-exec, after
// logging that the server has started: those the service manager passed,
// if any; otherwise one of our own, dual-stack, or IPv4 alone where the
// host has no IPv6 (said once). Empty after a logged failure (an invalid
// port, a port in use, passed sockets that are not listening TCP sockets).
std::vector<int> open_listeners(int port);

// A socket address as the log shows it: IPv4 in dotted form (an IPv4
// client of the dual-stack listener too, never as ::ffff:...), IPv6 as
// inet_ntop writes it; the port in host order.
std::string address_ip_text(const sockaddr_storage &address);
uint16_t address_port(const sockaddr_storage &address);

#endif  // THERMOMETRY_TCP_LISTENER_H
