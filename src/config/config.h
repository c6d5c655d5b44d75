// The configuration file, /etc/corvane/corvane.conf (TOML), and its drop-ins
// /etc/corvane/conf.d/*.conf, read in name order: a key in a later file
// replaces the same key of an earlier one, and an option given on the command
// line replaces both. Every key stands for one command-line option (see
// config_keys()). The format is documented in corvane.conf(5).
#pragma once

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli_parser/cli_parser.h"

constexpr const char *default_config_path = "/etc/corvane/corvane.conf";

// "<file>:<line>: key "<key>": <what>", or "<file>: <what>" where no line or
// key applies.
class config_error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// One key of the file and the command-line option it stands for.
struct config_key {
    const char *key;
    const char *option; // the option's long name, or the positional's name
};
const std::vector<config_key> &config_keys();

// What the files set, file by file merged.
struct configuration {
    std::vector<std::string> files; // the files read, in the order read
    command_line values;            // the settings, defaults where no file sets them
    std::set<std::string> keys;     // the keys some file set (aliases as their key)
};

// The *.conf regular files in the drop-in folder of the file at path
// (<path's folder>/conf.d), sorted by name; none when it does not exist.
std::vector<std::string> drop_in_files(const std::string &path);

// Reads path and its drop-ins. A missing path is an error only when required;
// throws config_error on anything else that is wrong: unreadable files, TOML
// syntax, unknown keys, values of the wrong type or out of range.
configuration load_configuration(const std::string &path, bool required);

// Copies into cli every setting of config whose option was not given on the
// command line (cli.given).
void apply_configuration(const configuration &config, command_line &cli);

// The settings of cli that have a key, one "key = value" line each, in TOML.
std::string format_settings(const command_line &cli);

// Applies the configuration file (cli.config_path, else the default one, which
// may be missing) and its drop-ins under the command line. Fills files with the
// files read; false with the message in error when they are wrong.
bool apply_configuration_files(command_line &cli, std::vector<std::string> &files,
                               std::string &error);

// What --check-config prints: the files read and the settings in effect.
std::string configuration_summary(const command_line &cli, const std::vector<std::string> &files);
