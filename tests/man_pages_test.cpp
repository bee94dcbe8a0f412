// The manual pages agree with the programs: every option a program's --help
// prints is an item of its page, every script command varnel --help lists is
// an item of varnel.1, and every page renders without a groff warning.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/scripted_host.h"

using testhost::ReadFileBytes;
using testhost::RunProcess;

namespace {

const std::string kBuild = VARNEL_BUILD_DIR;
const std::string kManFolder = VARNEL_SOURCE_DIR "/man/";

// Roff text as it reads: font changes, joins and zero-width marks removed,
// the common escapes replaced by their characters.
std::string Plain(const std::string& roff) {
    std::string out;
    for (size_t i = 0; i < roff.size(); ++i) {
        if (roff[i] != '\\' || i + 1 == roff.size()) {
            out += roff[i];
            continue;
        }
        const char c = roff[++i];
        if (c == '-') out += '-';
        else if (c == 'e') out += '\\';
        else if (c == 'f' && i + 1 < roff.size()) ++i;          // \fB, \fI, \fR, \fP
        else if (c == '(' && roff.compare(i + 1, 2, "dq") == 0) { out += '"'; i += 2; }
        else if (c != '&' && c != 'c') out += c;
    }
    return out;
}

// The words of a macro line, double quotes grouping.
std::vector<std::string> MacroArguments(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') { quoted = !quoted; any = true; continue; }
        if (c == ' ' && !quoted) {
            if (any) words.push_back(word);
            word.clear();
            any = false;
            continue;
        }
        word += c;
        any = true;
    }
    if (any) words.push_back(word);
    return words;
}

// The tag of each .TP item (the line after .TP) as it reads: the alternating
// font macros join their arguments, .B and .I separate them with spaces.
std::vector<std::string> ItemTags(const std::string& page) {
    std::vector<std::string> tags;
    std::istringstream in(page);
    std::string line;
    bool next = false;
    while (std::getline(in, line)) {
        if (next) {
            std::string tag = line;
            if (!line.empty() && line[0] == '.') {
                std::vector<std::string> words = MacroArguments(line);
                const std::string macro = words.empty() ? "" : words[0];
                const bool alternating = macro.size() == 3;   // .BI .IB .BR .RB .IR .RI
                tag.clear();
                for (size_t i = 1; i < words.size(); ++i) tag += (alternating || i == 1 ? "" : " ") + words[i];
            }
            tags.push_back(Plain(tag));
        }
        next = line == ".TP";
    }
    return tags;
}

bool HasItem(const std::vector<std::string>& tags, const std::string& option) {
    for (const std::string& tag : tags) {
        if (tag == option || tag.rfind(option + " ", 0) == 0) return true;
        if (option.back() == ':' && tag.rfind(option, 0) == 0) return true;
    }
    return false;
}

// The options a usage text names: --words, and /words followed by ':' (kept),
// a space, ']' or the end of a line.
std::set<std::string> OptionsIn(const std::string& help) {
    static const std::regex option(
        R"((?:^|[\s\[(|])(--[a-z][a-z0-9-]*(?=[\s\]=,)|]|$)|/[a-z]+(?::|(?=[\s\],)|]|$))))");
    std::set<std::string> found;
    for (std::sregex_iterator it(help.begin(), help.end(), option), end; it != end; ++it)
        found.insert((*it)[1]);
    return found;
}

void ExpectEveryOptionIsAnItem(const std::string& program, const std::string& help) {
    const std::set<std::string> options = OptionsIn(help);
    ASSERT_FALSE(options.empty()) << program << " --help names no option:\n" << help;
    const std::vector<std::string> tags = ItemTags(ReadFileBytes(kManFolder + program + ".1"));
    for (const std::string& option : options)
        EXPECT_TRUE(HasItem(tags, option)) << option << " is not an item of man/" << program << ".1";
}

}  // namespace

TEST(ManPages, TheOptionFinderReadsUsageTexts) {
    EXPECT_EQ(OptionsIn("Usage: varnel /r:SCRIPT [/o:OUTPUT [/keep]] [/hidden]\n  --help  print\n"
                        "(write ./name for the current folder; see /usr/share/doc)\n"),
              (std::set<std::string>{"/r:", "/o:", "/keep", "/hidden", "--help"}));
    EXPECT_EQ(Plain(R"(\fB\-\-port\fP \fIN\fR \e\(dqx\(dq\&.)"), "--port N \\\"x\".");
    const std::vector<std::string> tags =
        ItemTags(".TP\n.BI /r: SCRIPT\ntext\n.TP\n.BI \\-\\-port \" N\"\n.TP\n.B /keep\n");
    EXPECT_EQ(tags, (std::vector<std::string>{"/r:SCRIPT", "--port N", "/keep"}));
    EXPECT_TRUE(HasItem(tags, "/r:"));
    EXPECT_TRUE(HasItem(tags, "--port"));
    EXPECT_FALSE(HasItem(tags, "--por"));
    EXPECT_FALSE(HasItem(tags, "/hidden"));
}

TEST(ManPages, EveryOptionOfVarnelHelpIsInVarnel1) {
    auto r = RunProcess({kBuild + "/varnel", "--help"});
    ASSERT_EQ(r.exitStatus, 0);
    ExpectEveryOptionIsAnItem("varnel", r.out);
    EXPECT_TRUE(HasItem(ItemTags(ReadFileBytes(kManFolder + "varnel.1")), "--help"));
    EXPECT_TRUE(HasItem(ItemTags(ReadFileBytes(kManFolder + "varnel.1")), "--version"));
}

TEST(ManPages, EveryScriptCommandOfVarnelHelpIsInVarnel1) {
    auto r = RunProcess({kBuild + "/varnel", "--help"});
    ASSERT_EQ(r.exitStatus, 0);
    // The script lines paragraph: from "Script lines:" to the next empty line.
    const size_t from = r.out.find("Script lines:");
    ASSERT_NE(from, std::string::npos) << r.out;
    const size_t start = from + std::string("Script lines:").size();
    const std::string lines = r.out.substr(start, r.out.find("\n\n", start) - start);
    // Each item (between commas or line ends) starts with its command.
    static const std::regex item(R"(\s*([A-Z]{3,})\b[^,\n]*)");
    std::set<std::string> commands;
    std::istringstream parts(std::regex_replace(lines, std::regex("\n"), ","));
    for (std::string part; std::getline(parts, part, ',');) {
        std::smatch m;
        if (std::regex_match(part, m, item)) commands.insert(m[1]);
    }
    EXPECT_GE(commands.size(), 5u) << lines;
    const std::vector<std::string> tags = ItemTags(ReadFileBytes(kManFolder + "varnel.1"));
    for (const std::string& c : commands) EXPECT_TRUE(HasItem(tags, c)) << c << " is not an item of man/varnel.1";
    EXPECT_TRUE(HasItem(tags, "#"));
}

TEST(ManPages, EveryOptionOfTheOtherProgramsHelpIsInTheirPages) {
    int checked = 0;
    for (const std::string program : {"varnel-demo-host", "varnel-fleet"}) {
        if (!std::filesystem::exists(kBuild + "/" + program)) continue;
        // A program without --help would take it for an ordinary start: it is
        // stopped after a while and skipped.
        auto r = RunProcess({kBuild + "/" + program, "--help"}, {}, std::chrono::seconds(10));
        if (r.timedOut || OptionsIn(r.out + r.err).empty()) continue;
        ExpectEveryOptionIsAnItem(program, r.out + r.err);
        ++checked;
    }
    if (checked == 0) GTEST_SKIP() << "no other program answers --help";
}

TEST(ManPages, EveryPageRendersWithoutWarningsAndNamesItsProgram) {
    int pages = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kManFolder)) {
        if (entry.path().extension() != ".1") continue;
        ++pages;
        const std::string program = entry.path().stem().string();
        const std::string page = ReadFileBytes(entry.path().string());
        std::string title = program;
        for (char& c : title) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(Plain(page.substr(0, page.find(' ', 4))), ".TH " + title) << program;
        EXPECT_NE(page.find(".SH NAME\n" + std::regex_replace(program, std::regex("-"), "\\-") + " \\- "),
                  std::string::npos)
            << program;
        auto r = RunProcess({"/usr/bin/groff", "-man", "-ww", "-z", "-Tutf8", entry.path().string()});
        EXPECT_EQ(r.exitStatus, 0) << program << ": " << r.err;
        EXPECT_EQ(r.err, "") << program;
    }
    EXPECT_GE(pages, 2);
}
