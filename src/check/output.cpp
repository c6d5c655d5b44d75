// The check's result as lines for a person or as one JSON document.
#include <cstdio>
#include <ctime>
#include <sstream>

#include "check/check.h"

namespace {

std::string key_text(uint64_t key)
{
    char text[24];
    std::snprintf(text, sizeof(text), "0x%016llx", static_cast<unsigned long long>(key));
    return text;
}

std::string local_time(uint64_t seconds)
{
    const time_t when = static_cast<time_t>(seconds);
    tm parts{};
    char text[32];
    if (!localtime_r(&when, &parts) || !std::strftime(text, sizeof(text), "%F %T", &parts))
        return std::to_string(seconds);
    return text;
}

std::string mmp_text(const mmp_state &mmp)
{
    if (!mmp.enabled)
        return "off";
    if (!mmp.readable)
        return "on, not readable: " + mmp.error;
    std::string text = std::string("on, ") + mmp_sequence_meaning(mmp.sequence) +
                       ", last updated by node \"" + mmp.node + "\" (" + mmp.device + ") at " +
                       local_time(mmp.time);
    return text + ", check interval " + std::to_string(mmp.check_interval) + " s";
}

std::string reservation_text(const reservation_state &r)
{
    if (!r.readable)
        return "not readable (" + r.error + ")";
    std::string text = "no key registered";
    if (!r.keys.empty()) {
        text = std::to_string(r.keys.size()) + (r.keys.size() == 1 ? " key" : " keys") +
               " registered (";
        for (size_t i = 0; i < r.keys.size(); ++i)
            text += (i ? ", " : "") + key_text(r.keys[i]);
        text += ")";
    }
    if (!r.reserved)
        return text + ", not reserved";
    return text + ", reserved by " + key_text(r.holder) + ": " + reservation_type_name(r.type);
}

// JSON text of a string: quotes, backslashes and control characters escaped.
std::string quote(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string quote_or_null(const std::string &text)
{
    return text.empty() ? "null" : quote(text);
}

const char *boolean(bool value)
{
    return value ? "true" : "false";
}

std::string mmp_json(const mmp_state &m)
{
    std::ostringstream out;
    out << "{\"enabled\":" << boolean(m.enabled) << ",\"readable\":" << boolean(m.readable)
        << ",\"error\":" << quote_or_null(m.error);
    if (m.readable)
        out << ",\"state\":" << quote(mmp_sequence_meaning(m.sequence))
            << ",\"sequence\":" << m.sequence << ",\"time\":" << m.time
            << ",\"node\":" << quote(m.node) << ",\"device\":" << quote(m.device)
            << ",\"check_interval\":" << m.check_interval
            << ",\"update_interval\":" << m.update_interval;
    out << "}";
    return out.str();
}

std::string reservation_json(const reservation_state &r)
{
    std::ostringstream out;
    out << "{\"readable\":" << boolean(r.readable) << ",\"error\":" << quote_or_null(r.error);
    if (r.readable) {
        out << ",\"generation\":" << r.generation << ",\"keys\":[";
        for (size_t i = 0; i < r.keys.size(); ++i)
            out << (i ? "," : "") << quote(key_text(r.keys[i]));
        out << "],\"reserved\":" << boolean(r.reserved);
        if (r.reserved)
            out << ",\"holder\":" << quote(key_text(r.holder))
                << ",\"type\":" << quote(reservation_type_name(r.type))
                << ",\"scope\":" << static_cast<unsigned>(r.scope);
    }
    out << "}";
    return out.str();
}

std::string device_json(const device_finding &d)
{
    std::ostringstream out;
    out << "{\"path\":" << quote(d.path) << ",\"ok\":" << boolean(d.ok)
        << ",\"error\":" << quote_or_null(d.error) << ",\"type\":" << quote_or_null(d.type)
        << ",\"ranges\":" << d.ranges << ",\"note\":" << quote_or_null(d.note)
        << ",\"mmp\":" << (d.mmp ? mmp_json(*d.mmp) : "null") << ",\"disks\":[";
    for (size_t i = 0; i < d.disks.size(); ++i) {
        const disk_finding &disk = d.disks[i];
        out << (i ? "," : "") << "{\"device\":\"" << disk.major << ":" << disk.minor
            << "\",\"wwid\":" << quote(disk.wwid) << ",\"chain\":" << quote(disk.chain)
            << ",\"ranges\":" << disk.ranges
            << ",\"reservation\":" << reservation_json(disk.reservation) << "}";
    }
    out << "]}";
    return out.str();
}

} // namespace

std::string format_check_text(const check_result &result)
{
    std::ostringstream out;
    out << "corvane " << CORVANE_VERSION << ": can monitoring work on this machine?\n";
    for (const finding &f : result.findings) {
        const char *mark = !f.required ? "info    " : (f.ok ? "ok      " : "MISSING ");
        out << mark << f.title << ": " << f.detail << "\n";
    }
    out << result.attach_mode << "\n";
    for (const attach_choice &choice : result.attach)
        out << format_attach_choice(choice) << "\n";
    for (const device_finding &d : result.devices) {
        if (d.type.empty()) {
            out << "device " << d.path << ": FAILED: " << d.error << "\n";
            continue;
        }
        out << "device " << d.path << ": " << d.type << ", " << d.ranges << " ranges\n";
        if (!d.ok)
            out << "  FAILED: " << d.error << "\n";
        if (!d.note.empty())
            out << "  note: " << d.note << "\n";
        if (d.mmp)
            out << "  MMP: " << mmp_text(*d.mmp) << "\n";
        for (const disk_finding &disk : d.disks) {
            out << "  disk " << disk.major << ":" << disk.minor << " wwid " << disk.wwid << " ("
                << disk.chain << "), " << disk.ranges << " ranges\n";
            out << "    persistent reservation: " << reservation_text(disk.reservation) << "\n";
        }
    }
    const std::vector<std::string> missing = result.missing();
    if (missing.empty()) {
        out << "ready: monitoring can work here\n";
    } else {
        out << "not ready: missing ";
        for (size_t i = 0; i < missing.size(); ++i)
            out << (i ? ", " : "") << missing[i];
        out << "\n";
    }
    return out.str();
}

std::string format_check_json(const check_result &result)
{
    std::ostringstream out;
    const std::vector<std::string> missing = result.missing();
    out << "{\"version\":" << quote(CORVANE_VERSION) << ",\"ready\":" << boolean(missing.empty())
        << ",\"missing\":[";
    for (size_t i = 0; i < missing.size(); ++i)
        out << (i ? "," : "") << quote(missing[i]);
    out << "],\"checks\":{";
    for (size_t i = 0; i < result.findings.size(); ++i) {
        const finding &f = result.findings[i];
        out << (i ? "," : "") << quote(f.id) << ":{\"title\":" << quote(f.title)
            << ",\"ok\":" << boolean(f.ok) << ",\"required\":" << boolean(f.required)
            << ",\"detail\":" << quote(f.detail) << "}";
    }
    out << "},\"attach\":[";
    for (size_t i = 0; i < result.attach.size(); ++i) {
        const attach_choice &c = result.attach[i];
        out << (i ? "," : "") << "{\"probe\":" << quote(c.probe)
            << ",\"kind\":" << quote_or_null(c.kind)
            << ",\"function\":" << quote_or_null(c.function)
            << ",\"required\":" << boolean(c.required) << "}";
    }
    out << "],\"devices\":[";
    for (size_t i = 0; i < result.devices.size(); ++i)
        out << (i ? "," : "") << device_json(result.devices[i]);
    out << "]}\n";
    return out.str();
}
