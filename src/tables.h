// Process-wide tables owned by the entry point.
#pragma once

#include "kallsyms_parser/kallsyms_parser.h"

// The kernel symbol table, read at start-up and once more after probe start.
extern kallsyms_parser kallsyms;
