// Privilege reduction at start-up: both functions return only on success and
// end the process with status 1 otherwise.
#pragma once

// Closes every descriptor from 3 upward.
void close_inherited_fds();
// Keeps CAP_BPF, CAP_PERFMON, CAP_SYSLOG and CAP_DAC_READ_SEARCH only, sets no_new_privs.
void drop_privilege();
