// Command-line definition of corvane.
#pragma once

#include <string>
#include <vector>

// Parses argv into the device paths and flags (the mask is bound directly).
// On a parse error or help request CLI11 prints its text and false is returned.
bool parse_command_line(int argc, char **argv, std::vector<std::string> &paths, bool &whole,
                        bool &daemon);
