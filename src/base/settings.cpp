#include "base/corvane.h"

uint64_t mask = 0;
bool daemon_flag = false;
