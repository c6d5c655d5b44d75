// The resolver's system-call filter.
#pragma once

#include <string>

// Installs the filter in the calling thread (no_new_privs must be set); ""
// on success, else why it failed.
std::string install_resolver_seccomp();
