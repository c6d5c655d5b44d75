// Loads the embedded eBPF object, programs its maps, polls its ring buffer.
#pragma once

#include <cstdarg>
#include <map>
#include <vector>

#include <bpf/libbpf.h>

#include "common/common.h"

struct device_range;
class kallsyms_parser;

bool start_bpf(ring_buffer_sample_fn callback, const kallsyms_parser &kallsyms,
               const std::vector<device_range> &wwid_ranges,
               const std::map<ENUM_FS_TYPE, fs_range> &module_ranges, const bool &daemon);
void poll_events(int timeout_ms);
bool stop_bpf();
int print_libbpf_message(enum libbpf_print_level level, const char *format, va_list args);
