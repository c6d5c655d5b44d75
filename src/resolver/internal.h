// The resolver process's entry, for start_resolver() and the tests.
#pragma once

#include <sys/types.h>

// Runs the resolver in a freshly forked child: sets it up (resolver/resolver.h
// says how), answers "ready" over socket and then serves requests until the
// monitor closes its end. Never returns.
[[noreturn]] void run_resolver(int socket, pid_t monitor);

// The request loop alone, without the set-up (tests); never returns.
[[noreturn]] void serve_resolver_requests(int socket);
