// Any bytes as a script: the text operations behind scripts, then a whole run
// of the interpreter against the session double.
//
// Input: the script text up to the first 0xFF byte; the pieces after it
// (split at 0xFF) are the host's blocks, one per DoEvents (a piece of just
// 0xFE is the host closing, 0xFD a reset). Without a 0xFF the host sends the
// script's own lines back, one per block, so WAIT lines find their texts. An
// input of odd length runs hidden.
//
// The run happens on a thread with a 256 KiB stack: any recursion that grows
// with the script or with the host's blocks overflows it. Whatever the input,
// the run ends once the host has nothing more to send.
#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/session_double.h"
#include "script/mod_misc.h"
#include "script/script_text.h"
#include "ui/headless_window.h"

namespace {

constexpr size_t kRunnerStack = 256 * 1024;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerAscii(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), Lower);
    return out;
}

// The n-th field of text split at separator, non-overlapping, left to right.
std::string NthField(std::string_view text, std::string_view separator, int n) {
    size_t start = 0;
    for (int i = 1; i < n; ++i) {
        size_t hit = text.find(separator, start);
        if (hit == std::string_view::npos) return std::string();
        start = hit + separator.size();
    }
    size_t end = text.find(separator, start);
    return std::string(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
}

// A separator that can overlap itself ("aa") splits differently from the way
// GetWord counts; the comparison with NthField holds for the others.
bool OverlapsItself(std::string_view s) {
    for (size_t k = 1; k < s.size(); ++k) {
        if (s.substr(0, k) == s.substr(s.size() - k)) return true;
    }
    return false;
}

void TextOperations(const uint8_t* data, size_t size) {
    FuzzedDataProvider p(data, size);
    const std::string separator = p.ConsumeRandomLengthString(4);
    const auto n = p.ConsumeIntegral<int16_t>();
    const std::string find = p.ConsumeRandomLengthString(16);
    int32_t start = p.ConsumeIntegralInRange<int32_t>(-2, 64);
    const bool exact = p.ConsumeBool();
    const bool fromEnd = p.ConsumeBool();
    const std::string text = p.ConsumeRemainingBytesAsString();

    const std::string clean = scripttext::CleanLine(text);
    FUZZ_CHECK(clean.find('\t') == std::string::npos, "CleanLine leaves no tab");
    FUZZ_CHECK(clean.empty() || (clean.front() != ' ' && clean.back() != ' '), "CleanLine trims");

    const int32_t count = modMisc::CountOccurrences(text, separator);
    FUZZ_CHECK(count >= 0 && static_cast<size_t>(count) <= text.size(), "CountOccurrences in range");

    const std::string word = modMisc::GetWord(text, separator, n);
    if (!separator.empty() && !OverlapsItself(separator) && n >= 1) {
        FUZZ_CHECK(word == NthField(text, separator, n), "GetWord is the n-th field");
    }

    const bool contains = modMisc::ContainsText(text, find);
    const bool expected = !text.empty() && LowerAscii(text).find(LowerAscii(find)) != std::string::npos;
    FUZZ_CHECK(contains == expected, "ContainsText ignores ASCII case only");

    try {
        const std::string between = modMisc::GetBetween(find, separator, text, start, exact, fromEnd);
        FUZZ_CHECK(text.find(between) != std::string::npos, "GetBetween gives a piece of the text");
    } catch (const VbError& e) {
        FUZZ_CHECK(e.Number == 5, "GetBetween fails with 5 only");
    }
    try {
        const std::string quoted = scripttext::GetQuotedText(text);
        FUZZ_CHECK(quoted.size() <= 2 * text.size(), "GetQuotedText at most doubles");
    } catch (const VbError& e) {
        FUZZ_CHECK(e.Number == 5, "GetQuotedText fails with 5 only");
    }
    try {
        const uint32_t ms = scripttext::DelayMilliseconds(text);
        FUZZ_CHECK(ms <= 2147483647u && ms % 1000 == 0, "DELAY is whole seconds in 32 bits");
    } catch (const VbError& e) {
        FUZZ_CHECK(e.Number == 6, "DELAY fails with 6 only");
    }
}

// The lines of the script put back together give the script again.
void CheckLines(const std::string& script) {
    scripttext::ScriptLines lines;
    lines.Assign(script);
    const int32_t last = lines.LastLine();
    FUZZ_CHECK(last == (script.empty() ? -1 : static_cast<int32_t>(std::count(script.begin(), script.end(), '\n'))),
               "one line more than line feeds");
    size_t pos = 0;
    for (int32_t i = 0; i <= last; ++i) {
        std::string_view line = lines.Line(i);
        FUZZ_CHECK(std::string_view(script).substr(pos, line.size()) == line, "lines in order");
        pos += line.size();
        if (i < last) {
            if (script[pos] == '\r') ++pos;
            FUZZ_CHECK(script[pos] == '\n', "a line ends at its line feed");
            ++pos;
        }
    }
    FUZZ_CHECK(pos == script.size(), "the lines cover the script");
}

struct RunInput {
    std::string script;
    std::deque<std::string> blocks;
    bool hidden = false;
};

void RunScript(const RunInput& in) {
    fuzzhost::Host host;
    host.blocks = in.blocks;
    HeadlessTextBox box(true);
    {
        ScriptRunner runner(box, host.Hooks());
        runner.wsTelnet = fuzzhost::MakeSocket(host, runner);
        runner.blnHidden = in.hidden;
        runner.blnCaptureFiles = false;  // a fuzzed CAPTURE line must not clear or write files
        runner.strScript = in.script;
        runner.StartScript();
        // Every block is delivered once, so this ends.
        while (!runner.Ended() && host.DeliverNext()) {
        }
        if (!runner.Ended() && host.state == 7) {
            host.blocks = {std::string(1, fuzzhost::kHostCloses)};
            host.DeliverNext();
        }
        FUZZ_CHECK(host.maxDepth <= 2, "host events nest at most one level inside another");
        FUZZ_CHECK(host.endProgramCalls == (runner.Ended() ? 1 : 0), "the program ends once, when the run ends");
        const std::string log = box.Text();
        FUZZ_CHECK(log.rfind("Checking script (clearing output file)\r\n", 0) == 0, "the checking line comes first");
        if (runner.Ended()) {
            const std::string tail = "Closed connection.\r\n";
            FUZZ_CHECK(log.size() >= tail.size() && log.compare(log.size() - tail.size(), tail.size(), tail) == 0,
                       "the ending line comes last");
        }
        if (runner.ExitStatus() == 0) {
            FUZZ_CHECK(runner.Ended() && log.find("\r\nEnd of script\r\nClosed connection.\r\n") != std::string::npos,
                       "status 0 only after the end of the script");
        }
    }
}

void* RunThread(void* arg) {
    RunScript(*static_cast<const RunInput*>(arg));
    return nullptr;
}

void RunOnSmallStack(const RunInput& in) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kRunnerStack);
    pthread_t thread;
    FUZZ_CHECK(pthread_create(&thread, &attr, RunThread, const_cast<RunInput*>(&in)) == 0, "runner thread starts");
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TextOperations(data, size);

    const std::string_view input(reinterpret_cast<const char*>(data), size);
    RunInput in;
    const size_t cut = input.find('\xFF');
    in.script = std::string(input.substr(0, cut));
    const std::vector<std::string> blocks =
        cut == std::string_view::npos ? fuzzhost::Split(in.script, '\n') : fuzzhost::Split(input.substr(cut + 1), '\xFF');
    in.blocks.assign(blocks.begin(), blocks.end());
    in.hidden = size % 2 == 1;
    CheckLines(in.script);
    RunOnSmallStack(in);
    return 0;
}
