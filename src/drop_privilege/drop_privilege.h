// Privilege reduction. The monitor keeps CAP_BPF, CAP_PERFMON, CAP_SYSLOG and
// CAP_DAC_READ_SEARCH; reading device-mapper tables needs CAP_SYS_ADMIN, which
// only the resolver process (resolver/resolver.h) keeps. At start-up:
// close_inherited_fds(), start_resolver() (which forks the resolver and calls
// drop_device_mapper_privilege() in the monitor), then drop_privilege().
#pragma once

#include <sys/capability.h>

// Closes every descriptor from 3 upward; ends the process with status 1 on failure.
void close_inherited_fds();
// Keeps exactly the four capabilities (permitted and effective, the bounding
// set reduced to them) and sets no_new_privs. Returns only on success: a
// missing capability is named on standard error and ends the process with
// status 1, before anything is changed.
void drop_privilege();
// The monitor's side of the resolver's fork: gives up CAP_SYS_ADMIN, when held,
// and leaves every other capability as it is. Ends the process with status 1
// when it cannot.
void drop_device_mapper_privilege();
// The resolver's side: exactly CAP_SYS_ADMIN permitted and effective, nothing
// inheritable or ambient, the bounding set reduced to it, no_new_privs. Needs
// CAP_SYS_ADMIN permitted and CAP_SETPCAP effective; false when a step fails.
bool keep_only_device_mapper_privilege();
// Whether cap is in this process's permitted set.
bool holds_permitted(cap_value_t cap);
