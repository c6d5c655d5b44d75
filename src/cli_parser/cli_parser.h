// Command-line definition of corvane.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct command_line {
    std::vector<std::string> paths;
    bool whole = false;   // -a
    bool daemon = false;  // -d
    uint64_t mask = 0;    // -m
    bool mounted = false; // -M
    // --format: "text" (the default) or "json" (one JSON object per line on
    // standard output; every other message goes to standard error).
    std::string format = "text";
    // --coalesce: identical reports (same process, kind, disk and byte range)
    // within this many seconds are shown once, then counted; 0 turns it off.
    uint32_t coalesce_seconds = 10;
    // --report-budget: full reports shown per second at most; the rest is
    // counted in one line per second. 0: no limit.
    uint32_t report_budget = 100;
};

// Parses argv into out. On a parse error or help request CLI11 prints its text
// and false is returned.
bool parse_command_line(int argc, char **argv, command_line &out);
