#include "fleet/summary.h"

#include <cstdio>
#include <map>

#include "fleet/inventory.h"

namespace fleet {

namespace {

std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

bool IsErrorNumberLine(std::string_view line) {
    return line.size() > 6 && line.substr(0, 6) == "Error " &&
           line.substr(6).find_first_not_of("-0123456789") == std::string_view::npos;
}

std::string Tidy(std::string_view text) {
    std::string out(text.substr(0, 200));
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    }
    return out;
}

std::string LastNonEmptyLine(std::string_view text) {
    size_t end = text.find_last_not_of("\r\n \t");
    if (end == std::string_view::npos) return std::string();
    size_t start = text.find_last_of('\n', end);
    start = start == std::string_view::npos ? 0 : start + 1;
    return std::string(text.substr(start, end - start + 1));
}

std::string Pad(std::string text, size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

std::string PadLeft(const std::string& text, size_t width) {
    return text.size() < width ? std::string(width - text.size(), ' ') + text : text;
}

}  // namespace

std::string FailureReason(std::string_view transcriptTail, std::string_view errors, int status) {
    if (status >= 128) return "stopped by signal " + std::to_string(status - 128);
    std::vector<std::string_view> lines = SplitLines(transcriptTail);
    // A run that ended its session wrote "Closed connection." last; the line
    // before it says why.
    if (lines.size() >= 2 && lines.back() == "Closed connection.") {
        std::string_view last = lines[lines.size() - 2];
        if (last != "End of script") {
            if (lines.size() >= 3 && IsErrorNumberLine(lines[lines.size() - 3]))
                return Tidy(std::string(lines[lines.size() - 3]) + ": " + std::string(last));
            return Tidy(last);
        }
    }
    std::string error = LastNonEmptyLine(errors);
    if (!error.empty()) return Tidy(error);
    switch (status) {
    case 2: return "nothing ran";
    case 3: return "time-out";
    case 4: return "the output file could not be written";
    default: return "ended without \"End of script\"";
    }
}

std::string StatusLabel(int status) {
    switch (status) {
    case kNotStarted: return "not started";
    case 0: return "End of script";
    case 1: return "other ending";
    case 2: return "nothing ran";
    case 3: return "time-out";
    case 4: return "output not written";
    default: return status >= 128 ? "signal " + std::to_string(status - 128) : "status " + std::to_string(status);
    }
}

std::string SummaryTable(const std::vector<HostResult>& results, double wallSeconds) {
    std::map<int, size_t> counts;
    for (const HostResult& r : results) ++counts[r.status];
    std::string out = "status                    hosts\n";
    for (const auto& [status, count] : counts) {
        std::string name = (status == kNotStarted ? std::string("-") : std::to_string(status)) + " " + StatusLabel(status);
        out += Pad(name, 24) + PadLeft(std::to_string(count), 7) + "\n";
    }
    char tail[96];
    std::snprintf(tail, sizeof tail, " in %.2f s", wallSeconds);
    out += Pad("all", 24) + PadLeft(std::to_string(results.size()), 7) + tail + "\n";

    std::vector<const HostResult*> failed;
    for (const HostResult& r : results) {
        if (r.status != 0) failed.push_back(&r);
    }
    if (failed.empty()) return out;
    size_t hostWidth = 4, portWidth = 4;
    for (const HostResult* r : failed) {
        hostWidth = std::max(hostWidth, r->host.size());
        portWidth = std::max(portWidth, r->port.size());
    }
    out += "\nfailed hosts:\n" + Pad("host", hostWidth + 2) + Pad("port", portWidth + 2) + "status  reason\n";
    for (const HostResult* r : failed) {
        std::string status = r->status == kNotStarted ? "-" : std::to_string(r->status);
        out += Pad(r->host, hostWidth + 2) + Pad(r->port, portWidth + 2) + Pad(status, 8) + r->reason + "\n";
    }
    return out;
}

std::string SummaryCsv(const std::vector<HostResult>& results, bool archived) {
    std::string out = archived ? "host,port,status,reason,seconds,bytes,attempts,changed\r\n"
                               : "host,port,status,reason,seconds,bytes,attempts\r\n";
    for (const HostResult& r : results) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f", r.seconds);
        out += CsvField(r.host) + "," + CsvField(r.port) + "," +
               (r.status == kNotStarted ? std::string() : std::to_string(r.status)) + "," + CsvField(r.reason) + "," +
               seconds + "," + std::to_string(r.bytes) + "," + std::to_string(r.attempts) + (archived ? "," + r.changed : std::string()) + "\r\n";
    }
    return out;
}

}  // namespace fleet

#include <unordered_set>

namespace fleet {

std::vector<std::string> TranscriptNames(const std::vector<std::string>& hosts) {
    std::vector<std::string> names;
    std::unordered_set<std::string> taken;
    for (const std::string& host : hosts) {
        std::string base = host.substr(0, 100);
        for (char& c : base) {
            bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                         c == '-' || c == '_';
            if (!plain) c = '_';
        }
        if (base.empty() || base[0] == '.') base = "_" + base.substr(base.empty() ? 0 : 1);
        std::string name = base + ".txt";
        for (int n = 2; !taken.insert(name).second; ++n) name = base + "-" + std::to_string(n) + ".txt";
        names.push_back(name);
    }
    return names;
}

}  // namespace fleet
