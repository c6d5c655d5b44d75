// Names of the write-type SCSI commands the probes report.
#pragma once

#include <cstdint>
#include <string>

// "WRITE(10)", "WRITE SAME(16)", "UNMAP", ... for a CDB; "opcode 0xNN" for others.
std::string scsi_command_name(const uint8_t *cdb);
