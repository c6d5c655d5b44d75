// Command-line definition of corvane.
#pragma once

#include <cstdint>
#include <set>
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
    uint64_t coalesce_seconds = 10;
    // --report-budget: full reports shown per second at most; the rest is
    // counted in one line per second. 0: no limit.
    uint64_t report_budget = 100;

    std::string config_path;   // --config; empty: the default file
    bool check_config = false; // --check-config
    bool version = false;      // --version
    bool check = false;        // the check subcommand
    bool json = false;         // check --json

    // Long names of the options given on the command line, and "path" when
    // devices were: the configuration file does not override them.
    std::set<std::string> given;
};

// Parses argv into out. On a parse error or help request CLI11 prints its text
// and false is returned. Devices are not required here: they may come from
// the configuration file (see has_something_to_watch()).
bool parse_command_line(int argc, char **argv, command_line &out);

// Devices to watch, or mounted file systems; else prints what is missing on
// standard error.
bool has_something_to_watch(const command_line &cli);
