// The address ranges of a file system's own code, from the symbol table.
//
// A write is the file system's own when a frame of its stack lies in these
// ranges, so they must hold all of the file system's code and nothing of the
// code every writer goes through (vfs_write, submit_bio, the write-back
// threads...). ext4 includes jbd2, its journal.
//
// A file system (ext4, jbd2, xfs) loaded as a module owns exactly the text
// symbols (t/T) whose module column names it. Each extends to the next symbol
// of the table, whoever owns that (and 64 KiB at most), so a module's last
// function never reaches into what follows.
//
// A built-in file system has no module column; its code is found from the
// names and the link order:
// - Its functions are named with its prefixes ("ext4", "jbd2", "xfs", "xlog",
//   "xchk"... after any leading underscores), and the code generated for its
//   trace events carries them after a tracing prefix (perf_trace_ext4_...,
//   __traceiter_xfs_...). Function padding (__pfx_) and CFI stubs (__cfi_)
//   belong to the function they precede.
// - The linker lays out the functions of one built-in object (fs/ext4 with
//   fs/jbd2, fs/xfs) one after the other in each output section, so static
//   helpers without the prefix (dx_probe, kjournald2, asswarn) lie between
//   prefixed ones. A run of own functions therefore takes in the unprefixed
//   functions between two of them when there are at most max_helper_gap of
//   them: on a 6.18 kernel with both built in, the longest such stretch is 7
//   (ext4's extent-status helpers), while the objects linked around them
//   (devpts, squashfs, overlayfs, debugfs) and the other sections start
//   thousands of functions away.
// - gcc moves the unlikely parts of functions (foo.cold) to .text.unlikely,
//   far from foo, where they follow the same link order: they form their own
//   run by the same rule.
// - A run never crosses a symbol that is surely not the file system's: data,
//   weak and module symbols, the section markers (_stext, __sched_text_start,
//   ...), start-up code (freed after boot), another file system's prefixed
//   functions and the core functions listed below.
//
// Whatever the rules above give, no listed core function is left inside a
// range: a range holding one is split around it, with a debug line. At most
// MAX_CODE_RANGES ranges fit the probes' table; beyond, ranges are joined over
// the smallest gaps that hold no symbol of another owner, and what is still
// too much is dropped with a warning.
#include <algorithm>
#include <iomanip>
#include <iostream>
#include <span>

#include "base/corvane.h"
#include "kallsyms_parser/kallsyms_parser.h"

namespace {

// Unprefixed functions a run may take in between two own functions.
constexpr size_t max_helper_gap = 16;
// How far a function may reach at most when nothing follows it closely; the
// largest function of a 6.18 x86-64 kernel is 20 KiB long.
constexpr uint64_t max_function_span = 64 << 10;

// Core functions on the write paths of every writer. Sorted.
constexpr std::string_view core_functions[] = {
    "__blkdev_direct_IO",
    "__blkdev_direct_IO_async",
    "__blkdev_direct_IO_simple",
    "__blkdev_issue_zeroout",
    "__filemap_fdatawrite_range",
    "__generic_file_write_iter",
    "__iomap_dio_rw",
    "__kernel_write",
    "__submit_bio",
    "__sync_dirty_buffer",
    "__writeback_single_inode",
    "__x64_sys_pwrite64",
    "__x64_sys_write",
    "__x64_sys_writev",
    "blk_mq_submit_bio",
    "blkdev_direct_IO",
    "blkdev_issue_discard",
    "blkdev_issue_zeroout",
    "blkdev_write_iter",
    "do_writepages",
    "filemap_fdatawrite_wbc",
    "generic_file_write_iter",
    "generic_perform_write",
    "iomap_dio_rw",
    "iomap_file_buffered_write",
    "iomap_writepages",
    "kernel_write",
    "ksys_pwrite64",
    "ksys_write",
    "kthread",
    "mpage_writepages",
    "process_one_work",
    "ret_from_fork",
    "submit_bh",
    "submit_bh_wbc",
    "submit_bio",
    "submit_bio_noacct",
    "submit_bio_noacct_nocheck",
    "sync_dirty_buffer",
    "vfs_iter_write",
    "vfs_write",
    "vfs_writev",
    "wb_workfn",
    "wb_writeback",
    "worker_thread",
    "write_cache_pages",
    "write_dirty_buffer",
    "writeback_sb_inodes",
};
static_assert(std::is_sorted(std::begin(core_functions), std::end(core_functions)));

// A filter over (length, first and last byte) that lets through every listed
// name and few others, so that the search runs for few of ~120,000 symbols.
constexpr size_t core_filter_bits = 4096;
constexpr size_t core_filter_key(std::string_view name)
{
    return (name.size() * 961 + static_cast<unsigned char>(name.front()) * 31 +
            static_cast<unsigned char>(name.back())) %
           core_filter_bits;
}
struct core_function_filter {
    uint64_t words[core_filter_bits / 64] = {};
    constexpr core_function_filter()
    {
        for (std::string_view name : core_functions)
            words[core_filter_key(name) / 64] |= uint64_t{1} << (core_filter_key(name) % 64);
    }
    constexpr bool may_hold(std::string_view name) const
    {
        if (name.empty())
            return false;
        size_t key = core_filter_key(name);
        return (words[key / 64] >> (key % 64)) & 1;
    }
};
constexpr core_function_filter core_filter;

bool is_core_function(std::string_view name)
{
    return core_filter.may_hold(name) &&
           std::binary_search(std::begin(core_functions), std::end(core_functions), name);
}

// A part of a file system: its module name and the prefixes of its
// functions' names (after leading underscores) when built in.
struct fs_part {
    std::string_view module;
    std::span<const std::string_view> prefixes;
};

constexpr std::string_view ext4_prefixes[] = {"ext4"};
constexpr std::string_view jbd2_prefixes[] = {"jbd2"};
constexpr std::string_view xfs_prefixes[] = {
    "xfs",     "xlog_",  "xchk_",   "xrep_",  "xfarray_", "xfbtree_", "xfblob_", "xfile_", "xmbuf_",
    "xbitmap", "xreap_", "xqcheck", "xrefc_", "xagb_",    "xagino_",  "xefi_",   "xmi_",
};
constexpr fs_part ext4_parts[] = {{"ext4", ext4_prefixes}, {"jbd2", jbd2_prefixes}};
constexpr fs_part xfs_parts[] = {{"xfs", xfs_prefixes}};

constexpr bool starts_with_e_j_or_x(std::span<const std::string_view> prefixes)
{
    for (std::string_view prefix : prefixes)
        if (prefix[0] != 'e' && prefix[0] != 'j' && prefix[0] != 'x')
            return false;
    return true;
}
static_assert(starts_with_e_j_or_x(ext4_prefixes) && starts_with_e_j_or_x(jbd2_prefixes) &&
              starts_with_e_j_or_x(xfs_prefixes));

std::span<const fs_part> parts_of(ENUM_FS_TYPE type)
{
    switch (type) {
    case ENUM_FS_TYPE_EXT4:
        return ext4_parts;
    case ENUM_FS_TYPE_XFS:
        return xfs_parts;
    default:
        return {};
    }
}

// The other file systems: their prefixed functions end a run.
std::span<const fs_part> others_of(ENUM_FS_TYPE type)
{
    return parts_of(type == ENUM_FS_TYPE_EXT4 ? ENUM_FS_TYPE_XFS : ENUM_FS_TYPE_EXT4);
}

// Tested on every symbol: the first byte is compared before the rest.
bool starts_with(std::string_view name, std::string_view prefix)
{
    return !name.empty() && name[0] == prefix[0] && name.starts_with(prefix);
}

// Strips the first of prefixes that name starts with.
void strip_first_of(std::string_view &name, std::span<const std::string_view> prefixes)
{
    for (std::string_view prefix : prefixes) {
        if (starts_with(name, prefix)) {
            name.remove_prefix(prefix.size());
            return;
        }
    }
}

constexpr std::string_view stub_prefixes[] = {"__pfx_", "__cfi_"};
constexpr std::string_view tracing_prefixes[] = {
    "__traceiter_", "__probestub_",           "__bpf_trace_",      "do_perf_trace_",
    "perf_trace_",  "trace_event_raw_event_", "trace_raw_output_", "trace_",
};

// The name a built-in function is owned by: without function padding, CFI
// stub, tracing prefix and leading underscores.
std::string_view owner_name(std::string_view name)
{
    strip_first_of(name, stub_prefixes);
    strip_first_of(name, tracing_prefixes);
    while (!name.empty() && name[0] == '_')
        name.remove_prefix(1);
    return name;
}

bool has_prefix_of(std::string_view owner, std::span<const fs_part> parts)
{
    // Every prefix starts with one of these: most names are out at once.
    if (owner.empty() || (owner[0] != 'e' && owner[0] != 'j' && owner[0] != 'x'))
        return false;
    for (const fs_part &part : parts)
        for (std::string_view prefix : part.prefixes)
            if (starts_with(owner, prefix))
                return true;
    return false;
}

bool is_section_marker(std::string_view name)
{
    if (name.empty() || name[0] != '_')
        return false;
    return name == "_stext" || name == "_etext" || name == "_text" || name == "_sinittext" ||
           name == "_einittext" || name.ends_with("text_start") || name.ends_with("text_end");
}

bool is_text(char type)
{
    return type == 't' || type == 'T';
}

bool is_padding(std::string_view name)
{
    return name.starts_with("__pfx_") || name.starts_with("__cfi_");
}

enum class role : uint8_t {
    own_module,   // text of a file-system module
    own_builtin,  // a built-in file system's prefixed function
    module_other, // anything else of a file-system module (data): no code, but no one else's
    helper,       // a core function that may be a built-in file system's helper
    foreign,      // surely someone else's
};

bool is_own(role r)
{
    return r == role::own_module || r == role::own_builtin;
}

// The symbol table seen by one file-system type.
class fs_code_finder {
  public:
    fs_code_finder(const kallsyms_parser &table, ENUM_FS_TYPE type)
        : table_(table), type_(type), parts_(parts_of(type))
    {
    }

    std::vector<code_range_t> find();

  private:
    void find_modules_and_init_text();
    role role_of(const ksym &sym) const;
    void classify();
    void build_runs();
    void add_run(size_t first, size_t last_own);
    uint64_t end_of(size_t position) const;
    size_t first_at_or_above(uint64_t addr) const;
    void merge_touching();
    void split_around_core_functions();
    bool gap_is_neutral(uint64_t first, uint64_t second) const;
    void fit_the_table();
    void print_ranges() const;

    const kallsyms_parser &table_;
    ENUM_FS_TYPE type_;
    std::span<const fs_part> parts_;
    std::vector<bool> modular_;
    uint64_t init_first_ = 0, init_second_ = 0;
    std::vector<role> roles_;
    std::vector<code_range_t> ranges_;
};

void fs_code_finder::find_modules_and_init_text()
{
    modular_.assign(parts_.size(), false);
    uint64_t init_first = 0, init_second = 0;
    for (size_t i = 0; i < table_.size(); ++i) {
        ksym sym = table_.symbol(i);
        if (sym.module.empty()) {
            if (sym.name == "_sinittext")
                init_first = sym.addr;
            else if (sym.name == "_einittext")
                init_second = sym.addr;
            continue;
        }
        for (size_t p = 0; p < parts_.size(); ++p)
            if (sym.module == parts_[p].module)
                modular_[p] = true;
    }
    if (init_first < init_second) {
        init_first_ = init_first;
        init_second_ = init_second;
    }
}

role fs_code_finder::role_of(const ksym &sym) const
{
    if (!sym.module.empty()) {
        for (size_t p = 0; p < parts_.size(); ++p)
            if (modular_[p] && sym.module == parts_[p].module)
                return is_text(sym.type) ? role::own_module : role::module_other;
        return role::foreign;
    }
    if (!is_text(sym.type) || is_section_marker(sym.name) ||
        (sym.addr >= init_first_ && sym.addr < init_second_))
        return role::foreign;
    std::string_view owner = owner_name(sym.name);
    for (size_t p = 0; p < parts_.size(); ++p) {
        if (!modular_[p] && has_prefix_of(owner, parts_.subspan(p, 1)))
            return role::own_builtin;
    }
    // Another file system's, a modular part's namesake, or a listed one.
    if (has_prefix_of(owner, others_of(type_)) || has_prefix_of(owner, parts_) ||
        is_core_function(sym.name))
        return role::foreign;
    return role::helper;
}

void fs_code_finder::classify()
{
    roles_.resize(table_.size());
    for (size_t i = 0; i < table_.size(); ++i)
        roles_[i] = role_of(table_.symbol(i));
}

// Joins own symbols into runs: for built-in parts across at most
// max_helper_gap unprefixed functions, never across anything else (a module's
// data included: a run is code).
void fs_code_finder::build_runs()
{
    const size_t none = SIZE_MAX;
    size_t first = none, last_own = none;
    size_t helpers = 0;
    bool crossed_other = false;
    for (size_t i = 0; i < roles_.size(); ++i) {
        role r = roles_[i];
        if (is_own(r)) {
            bool joins =
                first != none && !crossed_other &&
                (helpers == 0 || (r == role::own_builtin && roles_[last_own] == role::own_builtin &&
                                  helpers <= max_helper_gap));
            if (first != none && !joins)
                add_run(first, last_own);
            if (!joins)
                first = i;
            last_own = i;
            helpers = 0;
            crossed_other = false;
        } else if (r == role::foreign || r == role::module_other) {
            crossed_other = true;
        } else if (r == role::helper && !is_padding(table_.symbol(i).name)) {
            ++helpers;
        }
    }
    if (first != none)
        add_run(first, last_own);
}

// The end of the symbol at position: the next higher start address in the
// table, at most max_function_span away.
uint64_t fs_code_finder::end_of(size_t position) const
{
    uint64_t addr = table_.symbol(position).addr;
    uint64_t limit = addr > UINT64_MAX - max_function_span ? UINT64_MAX : addr + max_function_span;
    for (size_t i = position + 1; i < table_.size(); ++i) {
        uint64_t next = table_.symbol(i).addr;
        if (next > addr)
            return std::min(next, limit);
    }
    return limit;
}

void fs_code_finder::add_run(size_t first, size_t last_own)
{
    uint64_t start = table_.symbol(first).addr;
    uint64_t end = end_of(last_own);
    if (start < end)
        ranges_.push_back(code_range_t{start, end});
}

size_t fs_code_finder::first_at_or_above(uint64_t addr) const
{
    size_t low = 0, high = table_.size();
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        if (table_.symbol(middle).addr < addr)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

void fs_code_finder::merge_touching()
{
    std::sort(ranges_.begin(), ranges_.end(),
              [](const code_range_t &a, const code_range_t &b) { return a.first < b.first; });
    std::vector<code_range_t> merged;
    for (const code_range_t &range : ranges_) {
        if (!merged.empty() && range.first <= merged.back().second)
            merged.back().second = std::max<uint64_t>(merged.back().second, range.second);
        else
            merged.push_back(range);
    }
    ranges_ = std::move(merged);
}

// Cuts every listed core function out of the ranges.
void fs_code_finder::split_around_core_functions()
{
    std::vector<code_range_t> kept;
    for (code_range_t range : ranges_) {
        for (size_t i = first_at_or_above(range.first);
             i < table_.size() && table_.symbol(i).addr < range.second; ++i) {
            ksym sym = table_.symbol(i);
            if (!is_core_function(sym.name))
                continue;
            if (debug_on())
                std::cout << fs_type_name(type_) << " code: core function " << sym.name
                          << " lies in [" << std::hex << range.first << ", " << range.second
                          << std::dec << "); the range is split around it" << std::endl;
            if (range.first < sym.addr)
                kept.push_back(code_range_t{range.first, sym.addr});
            range.first = std::max<uint64_t>(range.first, end_of(i));
            if (range.first >= range.second)
                break;
        }
        if (range.first < range.second)
            kept.push_back(range);
    }
    ranges_ = std::move(kept);
}

// No symbol in [first, second) belongs to someone else.
bool fs_code_finder::gap_is_neutral(uint64_t first, uint64_t second) const
{
    for (size_t i = first_at_or_above(first); i < table_.size() && table_.symbol(i).addr < second;
         ++i) {
        if (roles_[i] == role::foreign || is_core_function(table_.symbol(i).name))
            return false;
    }
    return true;
}

void fs_code_finder::fit_the_table()
{
    if (ranges_.size() <= MAX_CODE_RANGES)
        return;
    // Join over the smallest neutral gaps first.
    std::vector<std::pair<uint64_t, size_t>> gaps; // (size, index of the range before)
    for (size_t i = 0; i + 1 < ranges_.size(); ++i) {
        if (gap_is_neutral(ranges_[i].second, ranges_[i + 1].first))
            gaps.emplace_back(ranges_[i + 1].first - ranges_[i].second, i);
    }
    std::sort(gaps.begin(), gaps.end());
    std::vector<bool> joined_to_next(ranges_.size(), false);
    size_t excess = ranges_.size() - MAX_CODE_RANGES;
    for (size_t g = 0; g < gaps.size() && g < excess; ++g)
        joined_to_next[gaps[g].second] = true;
    std::vector<code_range_t> joined;
    for (size_t i = 0; i < ranges_.size(); ++i) {
        if (i > 0 && joined_to_next[i - 1])
            joined.back().second = ranges_[i].second;
        else
            joined.push_back(ranges_[i]);
    }
    ranges_ = std::move(joined);
    if (ranges_.size() <= MAX_CODE_RANGES)
        return;

    std::cerr << "warning: the code of " << fs_type_name(type_) << " needs " << ranges_.size()
              << " address ranges, more than the " << MAX_CODE_RANGES
              << " the probes hold; only the largest are kept, and writes from the rest of its "
                 "code may be reported"
              << std::endl;
    std::vector<code_range_t> largest = ranges_;
    std::nth_element(largest.begin(), largest.begin() + MAX_CODE_RANGES - 1, largest.end(),
                     [](const code_range_t &a, const code_range_t &b) {
                         return a.second - a.first > b.second - b.first;
                     });
    largest.resize(MAX_CODE_RANGES);
    std::sort(largest.begin(), largest.end(),
              [](const code_range_t &a, const code_range_t &b) { return a.first < b.first; });
    ranges_ = std::move(largest);
}

void fs_code_finder::print_ranges() const
{
    for (const code_range_t &range : ranges_) {
        std::cout << fs_type_name(type_) << " code: [" << std::hex << range.first << ", "
                  << range.second << std::dec << ") " << table_.find_by_addr(range.first).name
                  << " .. " << table_.find_by_addr(range.second - 1).name << std::endl;
    }
    if (ranges_.empty())
        std::cout << fs_type_name(type_) << " code: none found" << std::endl;
}

std::vector<code_range_t> fs_code_finder::find()
{
    if (parts_.empty())
        return {};
    find_modules_and_init_text();
    classify();
    build_runs();
    merge_touching();
    split_around_core_functions();
    fit_the_table();
    if (debug_on())
        print_ranges();
    return std::move(ranges_);
}

} // namespace

std::vector<code_range_t> kallsyms_parser::fs_code_ranges(ENUM_FS_TYPE type) const
{
    return fs_code_finder(*this, type).find();
}
