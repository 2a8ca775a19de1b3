// The TCP server's cycle over its clients, and test seams over the set of
// connected clients. Main thread only.
#ifndef THERMOMETRY_TCP_SERVER_H
#define THERMOMETRY_TCP_SERVER_H

#include <vector>

// One server cycle's work without its wait: accept every pending client on
// listen_fd (skipped when negative), up to 1024, refusing those whose
// descriptor would lie in the descriptor budget's reserve; send the
// temperature line to every client; probe every client; drop the ended ones.
void run_server_cycle(int listen_fd);

// Test seams over the set of connected clients.
void add_tcp_client(int fd);
std::vector<int> tcp_client_fds();
void forget_tcp_clients();  // closes and forgets every client

#endif  // THERMOMETRY_TCP_SERVER_H
