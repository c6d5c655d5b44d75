// Turns one device path into a watched file system: analysis of its file
// system, then resolution of its ranges down to the disks.
#pragma once

#include <functional>
#include <string>

#include "watch/watch_set.h"

class kallsyms_parser;
class resolver_client;

// Resolves one device and its ranges to disks (appends to out; throws
// device_parser_exception).
using resolve_fn = std::function<void(const device_range &input, std::vector<device_range> &out)>;
// The in-process resolution.
void resolve_here(const device_range &input, std::vector<device_range> &out);
// Resolution through the privilege-separated resolver (the client outlives
// the function).
resolve_fn resolve_through(resolver_client &client);

// Analyses and resolves path; prints "dev num: M:m" and any note of the
// analysis (unless quiet) and, with debug on, the ranges. has_code(type) tells
// whether the probes know that file system's code. Throws fs_parser_exception
// or device_parser_exception.
watched_fs watch_device(const std::string &path, bool whole,
                        const std::function<bool(ENUM_FS_TYPE)> &has_code,
                        const resolve_fn &resolve, bool quiet = false);
