// The bash completions in completions/: each is sourced into a plain bash,
// its function is called as bash calls it, and what it offers is compared.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/scripted_host.h"

namespace {

const std::string kCompletions = VARNEL_SOURCE_DIR "/completions/";

// The completions offered for the words (the last one is being completed),
// one per line, sorted; run in folder dir.
std::string Offered(const std::string& program, const std::vector<std::string>& words, const std::string& dir) {
    std::string array;
    for (const std::string& w : words) array += " '" + w + "'";
    const std::string script = "cd '" + dir + "' && source '" + kCompletions + program +
                               "' && fn=$(complete -p " + program +
                               " | sed -n 's/.*-F \\([^ ]*\\) .*/\\1/p') && COMP_WORDS=(" + array +
                               ") && COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) && $fn && "
                               "printf '%s\\n' \"${COMPREPLY[@]}\" | LC_ALL=C sort";
    auto r = testhost::RunProcess({"/bin/bash", "--norc", "--noprofile", "-c", script});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    return r.out;
}

}  // namespace

TEST(Completion, OptionsValuesAndFileNames) {
    const std::string dir = testhost::MakeScratchDir("completion");
    testhost::WriteFileBytes(dir + "/job.txt", "");
    testhost::WriteFileBytes(dir + "/jobs.csv", "");
    std::filesystem::create_directory(dir + "/journal");
    struct Case {
        std::string program;
        std::vector<std::string> words;
        std::string offered;
    };
    const Case cases[] = {
        {"varnel", {"varnel", "--s"}, "--settle\n--socket-log\n"},
        {"varnel", {"varnel", "--"}, "--append\n--check\n--help\n--output\n--quiet\n--settle\n--socket-log\n"
                                     "--telnet\n--timeout\n--version\n--window\n"},
        {"varnel", {"varnel", "-q", "--telnet", "o"}, "off\non\n"},
        {"varnel", {"varnel", "-o", "jo"}, "job.txt\njobs.csv\njournal\n"},
        {"varnel", {"varnel", "-q", "job"}, "job.txt\njobs.csv\n"},
        {"varnel", {"varnel", "-t", ""}, "\n"},
        {"varnel-fleet", {"varnel-fleet", "--re"}, "--retries\n"},
        {"varnel-fleet", {"varnel-fleet", "-"}, "--help\n--jobs\n--output\n--quiet\n--retries\n--shard\n"
                                                "--timeout\n--version\n-h\n-j\n-o\n-q\n"},
        {"varnel-fleet", {"varnel-fleet", "-o", "jo"}, "journal\n"},
        {"varnel-fleet", {"varnel-fleet", "jobs.csv", "job."}, "job.txt\n"},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& w : c.words) shown += w + " ";
        EXPECT_EQ(Offered(c.program, c.words, dir), c.offered) << shown;
    }
}
