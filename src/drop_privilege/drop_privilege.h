// Privilege reduction at start-up: both functions return only on success and
// end the process with status 1 otherwise.
#pragma once

// Closes every descriptor from 3 upward.
void close_inherited_fds();
// Keeps CAP_BPF, CAP_PERFMON, CAP_SYSLOG and CAP_DAC_READ_SEARCH, sets
// no_new_privs and empties the bounding set of everything else. CAP_SYS_ADMIN,
// when held, stays permitted until drop_device_mapper_privilege(): reading
// device-mapper tables needs it.
void drop_privilege();
// Gives up CAP_SYS_ADMIN once device resolution is done: afterwards exactly the
// four capabilities remain.
void drop_device_mapper_privilege();
