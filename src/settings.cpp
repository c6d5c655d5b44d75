#include "corvane.h"
#include "device_parser/device_parser.h"
#include "kallsyms_parser/kallsyms_parser.h"

uint64_t mask = 0;
bool daemon_flag = false;
kallsyms_parser kallsyms;
std::vector<device_range> wwid_ranges;
std::map<ENUM_FS_TYPE, fs_range> module_ranges;
