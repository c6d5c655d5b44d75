// The output under libFuzzer: arbitrary record bytes (a record is whatever
// the kernel side wrote) become a text report and a JSON record.
//
// Properties: a text report is its header, its kind line and one line per
// non-zero frame from the first shown one, with no raw control character; the
// JSON record is one line that parses back and carries as many frames; a
// record seen twice is coalesced, and every report is counted once.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kallsyms_parser/kallsyms_parser.h"
#include "output/output.h"
#include "watch/watch_set.h"

namespace {

// Names the broken property before libFuzzer records the input.
#define require(property)                                                                          \
    do {                                                                                           \
        if (!(property)) {                                                                         \
            fprintf(stderr, "property broken: %s (line %d)\n", #property, __LINE__);               \
            abort();                                                                               \
        }                                                                                          \
    } while (0)

// Symbols a crafted table could hold: the seeds' frames hit them, and one
// name has bytes that must be escaped.
const char symbol_table[] = "1000 t bpf_trampoline_6442\n"
                            "2000 T submit_bio_noacct\n"
                            "3000 t ext4_buffered_write_iter\t[ext4]\n"
                            "4000 t odd\x1b[2J\xff_name\n";

struct fixture {
    kallsyms_parser symbols;
    frame_cache frames{symbols};
    watch_set watched;
    std::string out;
    uint64_t now = 5000000000000; // storm control's clock
    std::unique_ptr<output> text;
    std::unique_ptr<output> json;
    std::unique_ptr<output> storm;

    fixture()
    {
        char path[] = "/tmp/fuzz_report_kallsyms_XXXXXX";
        const int fd = mkstemp(path);
        require(fd >= 0 && write(fd, symbol_table, sizeof(symbol_table) - 1) > 0);
        close(fd);
        require(symbols.parse(path));
        unlink(path);

        watched_fs fs;
        fs.path = "/dev/sdb1";
        fs.major = 8;
        fs.minor = 17;
        fs.disks = {device_range{8, 16, {}, {}, {{8, 17}, {8, 16}}}};
        watched.add(fs); // id 1

        output_options every_report;
        every_report.coalesce_seconds = 0;
        every_report.report_budget = 0;
        output_options as_json = every_report;
        as_json.format = output_format::json;
        text = std::make_unique<output>(every_report, symbols, watched, environment());
        json = std::make_unique<output>(as_json, symbols, watched, environment());
        output_environment storm_env = environment();
        storm_env.monotonic_ns = [this] { return now; };
        storm = std::make_unique<output>(output_options{}, symbols, watched, storm_env);
    }

    output_environment environment()
    {
        output_environment env;
        env.write_out = [this](std::string_view text) { out += text; };
        env.write_err = [](std::string_view) {};
        env.monotonic_ns = [] { return uint64_t{5000000000000}; };
        env.wall_ns = [] { return int64_t{1714571107000000000}; };
        env.host = host_identity{"host", "m", "b"};
        env.cgroup_paths = false;
        return env;
    }
};

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    require(start == text.size()); // every line ends
    return lines;
}

size_t shown_frames(const event_t &event, frame_cache &frames)
{
    size_t count = 0;
    for (uint64_t i = first_shown_frame(event, frames); i < stack_frames(event); ++i)
        count += event.ip[i] != 0;
    return count;
}

void check_text(fixture &f, const event_t &event, size_t frames)
{
    f.out.clear();
    f.text->report(event);
    f.text->flush();
    for (unsigned char c : f.out)
        require(c == '\n' || (c >= 0x20 && c != 0x7f));
    const std::vector<std::string> lines = lines_of(f.out);
    require(lines.size() == 2 + frames);
    require(lines[0].starts_with("[") && lines[0].ends_with(")"));
    require(lines[1].find("'s metadata: [") != std::string::npos);
    for (size_t i = 2; i < lines.size(); ++i)
        require(lines[i].starts_with("0x"));
}

void check_json(fixture &f, const event_t &event, size_t frames)
{
    f.out.clear();
    if (kind_of(event) == record_kind::unmount)
        f.json->unmounted(event);
    else
        f.json->report(event);
    f.json->flush();
    const std::vector<std::string> lines = lines_of(f.out);
    require(lines.size() == 1);
    const nlohmann::json record = nlohmann::json::parse(lines[0]); // throws on invalid UTF-8
    require(record.at("schema") == 1);
    require(record.at("event") == record_kind_name(kind_of(event)));
    require(record.at("stack").size() == frames);
    require(record.at("range").at("length") == event.range.second - event.range.first);
}

void check_storm(fixture &f, const event_t &event)
{
    f.now += 60000000000; // every earlier window has ended
    f.storm->tick();
    const report_counts before = f.storm->counts();
    f.storm->report(event);
    f.storm->report(event);
    const report_counts after = f.storm->counts();
    require(after.reports == before.reports + 2);
    require(after.coalesced == before.coalesced + 1);
    require(after.shown + after.coalesced + after.held_back == after.reports);
    f.out.clear();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static fixture f;
    event_t event;
    std::memset(&event, 0, sizeof(event));
    std::memcpy(&event, data, std::min(size, sizeof(event)));

    const size_t shown = shown_frames(event, f.frames);
    if (kind_of(event) != record_kind::unmount)
        check_text(f, event, shown);
    check_json(f, event, shown);
    if (kind_of(event) != record_kind::unmount)
        check_storm(f, event);
    return 0;
}
