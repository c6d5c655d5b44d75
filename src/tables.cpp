#include "tables.h"

kallsyms_parser kallsyms;
