#include "config/config.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <variant>

#include <toml++/toml.h>

namespace {

namespace fs = std::filesystem;

using field = std::variant<bool command_line::*, uint64_t command_line::*,
                           std::string command_line::*, std::vector<std::string> command_line::*>;

struct setting {
    config_key names;
    field target;
};

const std::vector<setting> &settings()
{
    static const std::vector<setting> table = {
        {{"devices", "path"}, &command_line::paths},
        {{"mounted", "mounted"}, &command_line::mounted},
        {{"whole", "all"}, &command_line::whole},
        {{"daemon", "daemon"}, &command_line::daemon},
        {{"mask", "mask"}, &command_line::mask},
        {{"format", "format"}, &command_line::format},
        {{"coalesce", "coalesce"}, &command_line::coalesce_seconds},
        {{"report_budget", "report-budget"}, &command_line::report_budget},
    };
    return table;
}

// Other names of a key: -d sends everything to the system log.
const std::map<std::string, std::string, std::less<>> aliases = {{"syslog", "daemon"}};

const std::vector<std::string> output_formats = {"text", "json"};

const setting *find_setting(std::string_view key)
{
    for (const setting &s : settings())
        if (key == s.names.key)
            return &s;
    return nullptr;
}

// Where in which file a value stands, for the messages.
struct location {
    const std::string &file;
    std::string_view key;
};

[[noreturn]] void fail_at(const location &at, const toml::node &node, const std::string &what)
{
    throw config_error(at.file + ":" + std::to_string(node.source().begin.line) + ": key \"" +
                       std::string(at.key) + "\": " + what);
}

bool read_bool(const location &at, const toml::node &node)
{
    if (!node.is_boolean())
        fail_at(at, node, "expected true or false");
    return node.as_boolean()->get();
}

uint64_t read_count(const location &at, const toml::node &node)
{
    if (!node.is_integer() || node.as_integer()->get() < 0)
        fail_at(at, node, "expected a non-negative integer");
    return static_cast<uint64_t>(node.as_integer()->get());
}

std::string read_format(const location &at, const toml::node &node)
{
    if (node.is_string()) {
        const std::string &value = node.as_string()->get();
        if (std::find(output_formats.begin(), output_formats.end(), value) != output_formats.end())
            return value;
    }
    std::string choices;
    for (const std::string &name : output_formats)
        choices += (choices.empty() ? "\"" : ", \"") + name + "\"";
    fail_at(at, node, "expected one of " + choices);
}

std::vector<std::string> read_devices(const location &at, const toml::node &node)
{
    if (!node.is_array())
        fail_at(at, node, "expected an array of device paths, e.g. [\"/dev/mapper/mpatha\"]");
    std::vector<std::string> paths;
    for (const toml::node &element : *node.as_array()) {
        if (!element.is_string() || element.as_string()->get().empty() ||
            element.as_string()->get().front() != '/')
            fail_at(at, element, "expected an absolute device path");
        paths.push_back(element.as_string()->get());
    }
    return paths;
}

void read_value(const location &at, const toml::node &node, const setting &s, command_line &out)
{
    if (auto target = std::get_if<bool command_line::*>(&s.target))
        out.*(*target) = read_bool(at, node);
    else if (auto target = std::get_if<uint64_t command_line::*>(&s.target))
        out.*(*target) = read_count(at, node);
    else if (auto target = std::get_if<std::string command_line::*>(&s.target))
        out.*(*target) = read_format(at, node);
    else if (auto target = std::get_if<std::vector<std::string> command_line::*>(&s.target))
        out.*(*target) = read_devices(at, node);
}

std::string read_whole_file(const std::string &path, int &error)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return {};
    }
    std::string text;
    char buffer[8192];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = errno;
            break;
        }
        if (n == 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return text;
}

// Reads one file into config; false when it does not exist and is not required.
bool read_file(const std::string &path, bool required, configuration &config)
{
    int error = 0;
    const std::string text = read_whole_file(path, error);
    if (error == ENOENT && !required)
        return false;
    if (error != 0)
        throw config_error(path + ": cannot read: " + std::strerror(error));

    toml::table table;
    try {
        table = toml::parse(text, path);
    } catch (const toml::parse_error &e) {
        throw config_error(path + ":" + std::to_string(e.source().begin.line) + ": " +
                           std::string(e.description()));
    }
    std::map<std::string, int> seen_here; // each setting's line in this file
    for (const auto &[key, node] : table) {
        std::string_view name = key.str();
        const location at{path, name};
        auto alias = aliases.find(name);
        const setting *s = find_setting(alias != aliases.end() ? alias->second : name);
        if (!s)
            fail_at(at, node, "unknown key");
        const int line = static_cast<int>(node.source().begin.line);
        auto [earlier, first] = seen_here.emplace(s->names.key, line);
        if (!first)
            fail_at(at, node,
                    "sets what \"" + std::string(s->names.key) + "\" set on line " +
                        std::to_string(earlier->second));
        read_value(at, node, *s, config.values);
        config.keys.insert(s->names.key);
    }
    config.files.push_back(path);
    return true;
}

void copy_setting(const setting &s, const command_line &from, command_line &to)
{
    std::visit([&](auto member) { to.*member = from.*member; }, s.target);
}

std::string toml_text(const std::string &value)
{
    std::ostringstream out;
    out << toml::value<std::string>(value);
    return out.str();
}

std::string format_value(const setting &s, const command_line &cli)
{
    if (auto target = std::get_if<bool command_line::*>(&s.target))
        return cli.*(*target) ? "true" : "false";
    if (auto target = std::get_if<uint64_t command_line::*>(&s.target))
        return std::to_string(cli.*(*target));
    if (auto target = std::get_if<std::string command_line::*>(&s.target))
        return toml_text(cli.*(*target));
    std::string list;
    for (const std::string &path :
         cli.*std::get<std::vector<std::string> command_line::*>(s.target))
        list += (list.empty() ? "" : ", ") + toml_text(path);
    return "[" + list + "]";
}

} // namespace

const std::vector<config_key> &config_keys()
{
    static const std::vector<config_key> keys = [] {
        std::vector<config_key> out;
        for (const setting &s : settings())
            out.push_back(s.names);
        return out;
    }();
    return keys;
}

std::vector<std::string> drop_in_files(const std::string &path)
{
    const fs::path folder = fs::path(path).parent_path() / "conf.d";
    std::vector<std::string> files;
    std::error_code error;
    fs::directory_iterator entries(folder, error);
    if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory)
        return files;
    if (error)
        throw config_error(folder.string() + ": cannot list: " + error.message());
    for (const fs::directory_entry &entry : entries) {
        const std::string name = entry.path().filename().string();
        std::error_code ignored;
        if (name.size() > 5 && name.front() != '.' && name.ends_with(".conf") &&
            entry.is_regular_file(ignored))
            files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

configuration load_configuration(const std::string &path, bool required)
{
    configuration config;
    read_file(path, required, config);
    for (const std::string &drop_in : drop_in_files(path))
        read_file(drop_in, true, config);
    return config;
}

void apply_configuration(const configuration &config, command_line &cli)
{
    for (const setting &s : settings())
        if (config.keys.count(s.names.key) && !cli.given.count(s.names.option))
            copy_setting(s, config.values, cli);
}

std::string format_settings(const command_line &cli)
{
    std::string text;
    for (const setting &s : settings())
        text += std::string(s.names.key) + " = " + format_value(s, cli) + "\n";
    return text;
}

bool apply_configuration_files(command_line &cli, std::vector<std::string> &files,
                               std::string &error)
{
    const bool named = !cli.config_path.empty();
    try {
        configuration config =
            load_configuration(named ? cli.config_path : default_config_path, named);
        apply_configuration(config, cli);
        files = std::move(config.files);
        return true;
    } catch (const config_error &e) {
        error = e.what();
        return false;
    }
}

std::string configuration_summary(const command_line &cli, const std::vector<std::string> &files)
{
    std::string text = "configuration valid";
    for (size_t i = 0; i < files.size(); ++i)
        text += (i == 0 ? ": " : ", ") + files[i];
    if (files.empty())
        text += " (no file: defaults)";
    return text + "\n" + format_settings(cli);
}
