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
};

// Parses argv into out. On a parse error or help request CLI11 prints its text
// and false is returned.
bool parse_command_line(int argc, char **argv, command_line &out);
