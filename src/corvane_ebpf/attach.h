// Where and how the probes enter the kernel's functions: the attach mode
// (BPF trampolines, or kprobes where the kernel cannot attach trampolines to
// its functions), the function each probe is attached to, and the kprobes
// created for them.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct bpf_link;
struct bpf_object;

// fentry/fexit programs (BPF trampolines), or kprobe/kretprobe programs where
// the kernel cannot attach trampolines to its functions (arm64 before 6.4).
enum class attach_mode { fentry, kprobe };

// Where one probe is attached on the running kernel.
struct attach_choice {
    std::string probe;    // the probe's role
    std::string program;  // program that is loaded for it, empty when none fits
    std::string kind;     // "fentry", "fexit", "kprobe" or "kretprobe"
    std::string function; // kernel function
    // With a kretprobe that needs the call's arguments: the kprobe at the
    // same function's entry that keeps them for it; else empty.
    std::string entry_program;
    bool required; // monitoring cannot work without it
};

// Picks the attach point of every probe in that mode from the functions the
// kernel has (kernel_has: its BTF has a function of that name).
std::vector<attach_choice>
choose_attach_targets(attach_mode mode, const std::function<bool(const char *)> &kernel_has);
// "attach <probe>: <kind> <function>" ("kprobe+kretprobe" for a pair, or
// "... : none").
std::string format_attach_choice(const attach_choice &choice);

// The mode asked for in CORVANE_ATTACH_MODE ("fentry" or "kprobe"), if any.
std::optional<attach_mode> attach_mode_asked(const char *value);

// The mode the probes would attach in here, as make_plan() picks it, with its
// "attach mode: ..." line.
attach_mode probe_attach_mode(std::string &line);
// Whether a kprobe can be created on function (it is closed at once, never
// enabled): empty, or why not.
std::string try_kprobe(const char *function);

// What the probes of this process are attached with.
struct attach_plan {
    attach_mode mode = attach_mode::fentry;
    std::string mode_line; // "attach mode: ...", with the reason for kprobes
    std::vector<attach_choice> choices;
    // Perf event descriptors of the kprobes created in advance, by
    // kprobe_event_key(); owned by the plan until attached.
    std::map<std::string, int> kprobe_events;
};

// Picks the mode (fentry/fexit when a trivial fentry program attaches to the
// block layer's entry, else kprobes; CORVANE_ATTACH_MODE overrides) and the
// attach points and, in kprobe mode, creates the kprobes. Debian's kernels
// (perf_event_paranoid 3) let only CAP_SYS_ADMIN create a kprobe, so this is
// to run before the process gives it up; the kprobes do nothing until their
// programs are attached. Without it, take_attach_plan() does the same with
// the privileges held then.
void prepare_probe_attachment();
// The prepared plan (made now when there is none), handed over once.
attach_plan take_attach_plan();
// Closes the descriptors of kprobes that were never attached.
void close_kprobe_events(attach_plan &plan);

// Attaches the programs of one choice in obj (loaded), with a kprobe created
// in advance where the plan has one; the links go to links. False, after a
// message on standard error, when one cannot be attached (none is then left
// attached for that choice).
bool attach_choice_programs(bpf_object *obj, const attach_choice &choice, attach_plan &plan,
                            std::vector<bpf_link *> &links);
