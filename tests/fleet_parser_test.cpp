// varnel-fleet's parts that need no process: the inventory reader, the script
// placeholders, the command line and the summary texts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "fleet/inventory.h"
#include "fleet/options.h"
#include "fleet/script_template.h"
#include "fleet/summary.h"

using namespace fleet;

namespace {

Inventory Parse(const std::string& text) {
    Inventory inventory;
    std::string error;
    EXPECT_TRUE(ParseInventory(text, inventory, error)) << error;
    return inventory;
}

std::string ParseError(const std::string& text) {
    Inventory inventory;
    std::string error;
    EXPECT_FALSE(ParseInventory(text, inventory, error)) << text;
    return error;
}

std::string CompileError(const std::string& script, const Inventory& inventory) {
    ScriptTemplate t;
    std::string error;
    EXPECT_FALSE(t.Compile(script, inventory, error)) << script;
    return error;
}

}  // namespace

TEST(FleetInventory, QuotedFieldsFollowTheCsvRules) {
    Inventory inv = Parse("\xEF\xBB\xBFHost,port,note\r\n"
                          "sw1,23,plain\r\n"
                          "\r\n"
                          "\"sw,2\",\"2323\",\"say \"\"hi\"\"\"\n"
                          "sw3,,\"two\r\nlines\"\n"
                          "sw4,1,\n");
    ASSERT_EQ(inv.columns, (std::vector<std::string>{"Host", "port", "note"}));
    ASSERT_EQ(inv.rows.size(), 4u);
    EXPECT_EQ(inv.rows[0], (std::vector<std::string>{"sw1", "23", "plain"}));
    EXPECT_EQ(inv.rows[1], (std::vector<std::string>{"sw,2", "2323", "say \"hi\""}));
    EXPECT_EQ(inv.rows[2], (std::vector<std::string>{"sw3", "", "two\r\nlines"}));
    EXPECT_EQ(inv.rows[3], (std::vector<std::string>{"sw4", "1", ""}));
    EXPECT_EQ(inv.rowLines, (std::vector<int>{2, 4, 5, 7}));
    EXPECT_EQ(inv.ColumnIndex("HOST"), 0);
    EXPECT_EQ(inv.ColumnIndex("Note"), 2);
    EXPECT_EQ(inv.ColumnIndex("user"), -1);
}

TEST(FleetInventory, BadInventoriesAreRefusedWithTheirLine) {
    EXPECT_EQ(ParseError(""), "the inventory is empty: no header row");
    EXPECT_EQ(ParseError("\n\n"), "the inventory is empty: no header row");
    EXPECT_EQ(ParseError("host,port\n"), "the inventory has no hosts: only a header row");
    EXPECT_EQ(ParseError("name,port\na,1\n"), "line 1: the header has no \"host\" column");
    EXPECT_EQ(ParseError("host,HOST\na,b\n"), "line 1: two columns are named \"HOST\"");
    EXPECT_EQ(ParseError("host,port\na,1\nb\n"), "line 3: 1 fields where the header has 2");
    EXPECT_EQ(ParseError("host,port\na,1,2\n"), "line 2: 3 fields where the header has 2");
    EXPECT_EQ(ParseError("host,port\n,1\n"), "line 2: the host is empty");
    EXPECT_EQ(ParseError("host,port\na\"b,1\n"), "line 2: a quote inside an unquoted field");
    EXPECT_EQ(ParseError("host,port\n\"a\"b,1\n"), "line 2: text after the closing quote of a field");
    EXPECT_EQ(ParseError("host,port\na,1\n\"b,\n\n"), "line 3: a quoted field is never closed");
}

TEST(FleetInventory, CsvFieldsAreQuotedOnlyWhenNeeded) {
    EXPECT_EQ(CsvField("plain text"), "plain text");
    EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
    EXPECT_EQ(CsvField("say \"x\""), "\"say \"\"x\"\"\"");
    EXPECT_EQ(CsvField("two\r\nlines"), "\"two\r\nlines\"");
    // What CsvField writes reads back as the same value.
    Inventory inv = Parse("host,v\r\n" + CsvField("h") + "," + CsvField("q\"u,o\nte") + "\r\n");
    EXPECT_EQ(inv.rows[0][1], "q\"u,o\nte");
}

TEST(FleetTemplate, PlaceholdersInHostWordsAndQuotedTextsOnly) {
    ::setenv("FLEET_TEST_PASSWORD", "s3cret%", 1);
    Inventory inv = Parse("host,port,user\nsw1,2323,ops\n");
    ScriptTemplate t;
    std::string error;
    const std::string script =
        "# %host% stays in a comment \"%host%\"\r\n"
        "\tHOST %host% %PORT%\r\n"
        "SEND \"%user%\\n\"\n"
        "WAIT \"Password:\"\n"
        "send \"%env:FLEET_TEST_PASSWORD%\\n\"\n"
        "ECHO \"100%% of \\\"%host%\\\"\" %host%\n"
        "DELAY 1 %x%\n"
        "ECHO \"only one quote %x%\n"
        "ssh %user%@%host% 22";
    ASSERT_TRUE(t.Compile(script, inv, error)) << error;
    EXPECT_EQ(t.Expand(inv.rows[0]),
              "# %host% stays in a comment \"%host%\"\r\n"
              "\tHOST sw1 2323\r\n"
              "SEND \"ops\\n\"\n"
              "WAIT \"Password:\"\n"
              "send \"s3cret%\\n\"\n"
              "ECHO \"100% of \\\"sw1\\\"\" %host%\n"
              "DELAY 1 %x%\n"
              "ECHO \"only one quote %x%\n"
              "ssh ops@sw1 22");
    ::unsetenv("FLEET_TEST_PASSWORD");
}

TEST(FleetTemplate, UnknownPlaceholdersAreRefusedWithTheScriptLine) {
    Inventory inv = Parse("host\nsw1\n");
    ::unsetenv("FLEET_TEST_UNSET");
    EXPECT_EQ(CompileError("HOST %host% %port%\n", inv), "script line 1: %port% names no column of the inventory");
    EXPECT_EQ(CompileError("HOST %host%\r\n\r\nSEND \"%env:FLEET_TEST_UNSET%\"\r\n", inv),
              "script line 3: %env:FLEET_TEST_UNSET% names no environment variable");
    EXPECT_EQ(CompileError("ECHO \"%env:%\"", inv), "script line 1: %env:% names no environment variable");
    EXPECT_EQ(CompileError("HOST a\nECHO \"50% done\"\n", inv),
              "script line 2: a % without its closing % (write %% for a percent sign)");
    ::setenv("FLEET_TEST_BREAK", "a\nb", 1);
    EXPECT_EQ(CompileError("SEND \"%env:FLEET_TEST_BREAK%\"", inv),
              "script line 1: the environment variable FLEET_TEST_BREAK holds a line break");
    ::unsetenv("FLEET_TEST_BREAK");
}

TEST(FleetTemplate, ARowValueWithALineBreakIsRefused) {
    Inventory inv = Parse("host,user\nsw1,\"a\nb\"\nsw2,ok\n");
    ScriptTemplate t;
    std::string error;
    ASSERT_TRUE(t.Compile("HOST %host%\nSEND \"%USER%\"\n", inv, error)) << error;
    EXPECT_TRUE(t.CheckRow(inv.rows[1], inv.rowLines[1], error));
    EXPECT_FALSE(t.CheckRow(inv.rows[0], inv.rowLines[0], error));
    EXPECT_EQ(error, "inventory line 2: the user value holds a line break (script line 2 puts it in)");
}

TEST(FleetOptions, DefaultsAndEveryOption) {
    Options o;
    std::string error;
    ASSERT_TRUE(ParseOptions({"inv.csv", "job.txt"}, o, error)) << error;
    EXPECT_EQ(o.jobs, 32);
    EXPECT_EQ(o.outDir, "./varnel-out");
    EXPECT_EQ(o.timeout, "");
    EXPECT_EQ(o.retries, 0);
    EXPECT_EQ(o.shardIndex, 1);
    EXPECT_EQ(o.shardCount, 1);
    EXPECT_FALSE(o.quiet);
    ASSERT_TRUE(ParseOptions({"-j", "200", "-o", "out dir", "--timeout", "2.5", "--retries=3", "--shard", "2/5",
                              "--quiet", "inv.csv", "--", "-job.txt"},
                             o, error))
        << error;
    EXPECT_EQ(o.jobs, 200);
    EXPECT_EQ(o.outDir, "out dir");
    EXPECT_EQ(o.timeout, "2.5");
    EXPECT_EQ(o.retries, 3);
    EXPECT_EQ(o.shardIndex, 2);
    EXPECT_EQ(o.shardCount, 5);
    EXPECT_TRUE(o.quiet);
    EXPECT_EQ(o.inventory, "inv.csv");
    EXPECT_EQ(o.script, "-job.txt");
    ASSERT_TRUE(ParseOptions({"-j8", "a", "b"}, o, error));
    EXPECT_EQ(o.jobs, 8);
    for (const char* seconds : {"0.4", ".5", "2147483", "2147483.0"}) {
        ASSERT_TRUE(ParseOptions({"--timeout", seconds, "a", "b"}, o, error)) << seconds << ": " << error;
        EXPECT_EQ(o.timeout, seconds);
    }
    ASSERT_TRUE(ParseOptions({"--help"}, o, error));
    EXPECT_TRUE(o.help);
}

TEST(FleetOptions, BadCommandLinesSayWhy) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"a"}, "an INVENTORY and a SCRIPT are needed"},
        {{"a", "b", "c"}, "more than an INVENTORY and a SCRIPT given"},
        {{"-j", "0", "a", "b"}, "-j takes a number of runs from 1 to 100000, not \"0\""},
        {{"-jx", "a", "b"}, "-j takes a number of runs from 1 to 100000, not \"x\""},
        {{"a", "b", "-j"}, "-j needs a value"},
        {{"--timeout", "0", "a", "b"}, "--timeout takes seconds (more than 0, at most 2147483), not \"0\""},
        {{"--timeout", "1s", "a", "b"}, "--timeout takes seconds (more than 0, at most 2147483), not \"1s\""},
        {{"--timeout", "0.0", "a", "b"}, "--timeout takes seconds (more than 0, at most 2147483), not \"0.0\""},
        {{"--timeout", "-0.4", "a", "b"}, "--timeout takes seconds (more than 0, at most 2147483), not \"-0.4\""},
        {{"--timeout", "0x10", "a", "b"}, "--timeout takes seconds (more than 0, at most 2147483), not \"0x10\""},
        {{"--timeout", "1e3", "a", "b"}, "--timeout takes seconds (more than 0, at most 2147483), not \"1e3\""},
        {{"--timeout", "2147483.5", "a", "b"}, "--timeout takes seconds (more than 0, at most 2147483), not \"2147483.5\""},
        {{"--timeout", "2147484", "a", "b"}, "--timeout takes seconds (more than 0, at most 2147483), not \"2147484\""},
        {{"--retries", "-1", "a", "b"}, "--retries takes a number from 0 to 1000, not \"-1\""},
        {{"--shard", "3/2", "a", "b"}, "--shard takes K/N with 1 <= K <= N, not \"3/2\""},
        {{"--shard", "0/2", "a", "b"}, "--shard takes K/N with 1 <= K <= N, not \"0/2\""},
        {{"--shard=1", "a", "b"}, "--shard takes K/N with 1 <= K <= N, not \"1\""},
        {{"--fast", "a", "b"}, "unknown option --fast"},
    };
    for (const auto& [args, message] : cases) {
        Options o;
        std::string error;
        EXPECT_FALSE(ParseOptions(args, o, error)) << message;
        EXPECT_EQ(error, message);
    }
}

TEST(FleetSummary, ReasonIsTheTranscriptsLastErrorLine) {
    const std::string head = "Checking script (clearing output file)\r\nRunning script\r\nOpening connection\r\n";
    EXPECT_EQ(FailureReason(head + "Error 10061\r\nConnection refused.\r\nClosed connection.\r\n", "", 1),
              "Error 10061: Connection refused.");
    EXPECT_EQ(FailureReason(head + "banner\r\n\r\nConnection closed by host.\r\nClosed connection.\r\n", "", 1),
              "Connection closed by host.");
    EXPECT_EQ(FailureReason("Running script\r\nUnrecognised command on line 4\r\nClosed connection.\r\n", "", 1),
              "Unrecognised command on line 4");
    // No ending in the transcript: standard error's last line, then the status.
    EXPECT_EQ(FailureReason("Checking script (clearing output file)\r\n", "varnel: script file is empty: x\n\n", 2),
              "varnel: script file is empty: x");
    EXPECT_EQ(FailureReason(head + "End of script\r\nClosed connection.\r\n", "", 4),
              "the output file could not be written");
    EXPECT_EQ(FailureReason(head + "partial", "", 3), "time-out");
    EXPECT_EQ(FailureReason(head, "", 1), "ended without \"End of script\"");
    EXPECT_EQ(FailureReason(head + "Error 5\r\nClosed connection.\r\n", "", 143), "stopped by signal 15");
    EXPECT_EQ(FailureReason("x\r\n" + std::string(300, 'a') + "\tb\r\nClosed connection.\r\n", "", 1),
              std::string(200, 'a'));
    EXPECT_EQ(FailureReason("x\r\nbad\tline\r\nClosed connection.\r\n", "", 1), "bad line");
}

TEST(FleetSummary, TranscriptNamesAreSafeAndUnique) {
    EXPECT_EQ(TranscriptNames({"sw1", "10.0.0.1", "sw1", "a/b c", "..", "", "sw1-2", "sw1", std::string(120, 'x')}),
              (std::vector<std::string>{"sw1.txt", "10.0.0.1.txt", "sw1-2.txt", "a_b_c.txt", "_..txt", "_.txt",
                                        "sw1-2-2.txt", "sw1-3.txt", std::string(100, 'x') + ".txt"}));
}

TEST(FleetSummary, TableAndCsv) {
    std::vector<HostResult> results(4);
    results[0] = {"sw1", "23", "sw1.txt", 0, "", 0.25, 1234, 1, "", ""};
    results[1] = {"sw,2", "2323", "sw_2.txt", 1, "Error 10061: Connection refused.", 0.0126, 80, 3, "", ""};
    results[2] = {"sw3", "", "sw3.txt", 0, "", 1, 10, 1, "", ""};
    results[3] = {"a-long-name", "23", "a.txt", kNotStarted, "not started", 0, 0, 0, "", ""};
    EXPECT_EQ(SummaryTable(results, 2.04),
              "status                    hosts\n"
              "- not started                 1\n"
              "0 End of script               2\n"
              "1 other ending                1\n"
              "all                           4 in 2.04 s\n"
              "\n"
              "failed hosts:\n"
              "host         port  status  reason\n"
              "sw,2         2323  1       Error 10061: Connection refused.\n"
              "a-long-name  23    -       not started\n");
    EXPECT_EQ(SummaryCsv(results),
              "host,port,status,reason,seconds,bytes,attempts\r\n"
              "sw1,23,0,,0.250,1234,1\r\n"
              "\"sw,2\",2323,1,Error 10061: Connection refused.,0.013,80,3\r\n"
              "sw3,,0,,1.000,10,1\r\n"
              "a-long-name,23,,not started,0.000,0,0\r\n");
    EXPECT_EQ(StatusLabel(3), "time-out");
    EXPECT_EQ(StatusLabel(4), "output not written");
    EXPECT_EQ(StatusLabel(2), "nothing ran");
    EXPECT_EQ(StatusLabel(130), "signal 2");
}
