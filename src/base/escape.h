// Text that came from the kernel or from another process, made safe to print.
#pragma once

#include <string>
#include <string_view>

// Control characters, DEL, backslash and bytes that are not part of valid
// UTF-8 are written as \xNN (backslash as \\); valid UTF-8 stays as it is.
std::string escape_text(std::string_view text);
