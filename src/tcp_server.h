// The TCP server's cycle over its clients, and test seams over the set of
// connected clients. Main thread only.
#ifndef THERMOMETRY_TCP_SERVER_H
#define THERMOMETRY_TCP_SERVER_H

#include <vector>

// One server cycle's work without its wait: accept every pending client on
// the listening sockets, up to 1024 in all, refusing those whose
// descriptor would lie in the descriptor budget's reserve; send the
// temperature line to every client; probe every client; drop the ended ones.
void run_server_cycle(const std::vector<int> &listen_fds);

// Test seams over the set of connected clients.
void add_tcp_client(int fd);
std::vector<int> tcp_client_fds();
void forget_tcp_clients();  // closes and forgets every client

#endif  // THERMOMETRY_TCP_SERVER_H
