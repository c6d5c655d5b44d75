#include "base/scsi_names.h"

#include <cstdio>

std::string scsi_command_name(const uint8_t *cdb)
{
    switch (cdb[0]) {
    case 0x04:
        return "FORMAT UNIT";
    case 0x0a:
        return "WRITE(6)";
    case 0x2a:
        return "WRITE(10)";
    case 0x2e:
        return "WRITE AND VERIFY(10)";
    case 0x3f:
        return "WRITE LONG(10)";
    case 0x41:
        return "WRITE SAME(10)";
    case 0x42:
        return "UNMAP";
    case 0x48:
        return "SANITIZE";
    case 0x89:
        return "COMPARE AND WRITE";
    case 0x8a:
        return "WRITE(16)";
    case 0x8b:
        return "ORWRITE(16)";
    case 0x8e:
        return "WRITE AND VERIFY(16)";
    case 0x93:
        return "WRITE SAME(16)";
    case 0x9c:
        return "WRITE ATOMIC(16)";
    case 0x9f:
        return (cdb[1] & 0x1f) == 0x11 ? "WRITE LONG(16)" : "WRITE SCATTERED(16)";
    case 0xaa:
        return "WRITE(12)";
    case 0xae:
        return "WRITE AND VERIFY(12)";
    case 0x7f:
        switch (cdb[9]) {
        case 0x0b:
            return "WRITE(32)";
        case 0x0c:
            return "WRITE AND VERIFY(32)";
        case 0x0d:
            return "WRITE SAME(32)";
        }
        break;
    }
    char text[24];
    std::snprintf(text, sizeof(text), "opcode 0x%02x", cdb[0]);
    return text;
}
