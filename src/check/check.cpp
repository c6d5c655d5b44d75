#include "check/check.h"

#include <iostream>

#include "kallsyms_parser/kallsyms_parser.h"

std::vector<std::string> check_result::missing() const
{
    std::vector<std::string> titles;
    for (const finding &f : findings)
        if (f.required && !f.ok)
            titles.push_back(f.title);
    for (const device_finding &d : devices)
        if (!d.ok)
            titles.push_back("device " + d.path);
    return titles;
}

int run_check(const check_options &options)
{
    kallsyms_parser symbols;
    const bool symbols_read = symbols.parse("/proc/kallsyms");
    check_result result = check_machine(options, symbols, symbols_read);
    check_devices(options, symbols, result);
    std::cout << (options.json ? format_check_json(result) : format_check_text(result))
              << std::flush;
    return result.ready() ? 0 : 1;
}
