// Lines that continue at once: a generated script of 1,000,000 ECHO lines run
// hidden by the real build/varnel without an output file; wall time and peak
// memory (maximum resident set of the child, from wait4).
//
// Baseline, measured the same way in the same run: this program re-run as a
// child in --baseline mode, a minimal interpreter that reads the same file
// whole, cuts it into lines, takes each ECHO line's text between its first
// and last quote and appends it with CRLF to one in-memory log string. That
// is the least any runner must do for these lines (read, split, extract,
// log); Varnel additionally cleans, upper-cases and unescapes every line and
// goes through its full command dispatch.
//
//   script_lines_bench [--quick] [--lines N] [--varnel PATH]
//
// Prints one ROW line for bench/run: name, Varnel's time and peak memory,
// the baseline's, and the two ratios.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Measure {
    double seconds = 0;
    long maxRssKiB = 0;
    int status = -1;
};

std::string SelfPath() {
    char buffer[4096];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

Measure RunChild(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    Measure m;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(devnull, 2);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.maxRssKiB = usage.ru_maxrss;
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return m;
}

// The best of runs: the shortest time, and the peak memory of that run.
Measure Best(const std::vector<std::string>& argv, int runs) {
    Measure best;
    for (int i = 0; i < runs; ++i) {
        Measure m = RunChild(argv);
        if (m.status != 0) return m;
        if (i == 0 || m.seconds < best.seconds) best = m;
    }
    return best;
}

int Baseline(const char* path) {
    // The file read whole into a buffer of its size, as Varnel reads it.
    std::string text;
    int fd = open(path, O_RDONLY);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) return 1;
    text.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < text.size()) {
        ssize_t n = read(fd, text.data() + got, text.size() - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    text.resize(got);
    std::string log;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + pos, end - pos);
        if (line.substr(0, 5) == "ECHO ") {
            size_t open = line.find('"');
            size_t close = line.rfind('"');
            if (open != close) {
                log.append(line.substr(open + 1, close - open - 1));
                log.append("\r\n");
            }
        }
        pos = end + 1;
    }
    std::printf("%zu\n", log.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--baseline") return Baseline(argv[2]);
    long lines = 1000000;
    int runs = 3;
    std::string self = SelfPath();
    std::string varnel = self.substr(0, self.rfind('/')) + "/../varnel";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--quick") {
            lines = 100000;
            runs = 1;
        } else if (a == "--lines" && i + 1 < argc) {
            lines = std::atol(argv[++i]);
        } else if (a == "--varnel" && i + 1 < argc) {
            varnel = argv[++i];
        }
    }

    char dir[] = "/tmp/varnel_bench_XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    const std::string script = std::string(dir) + "/echo.txt";
    {
        std::ofstream out(script, std::ios::binary);
        for (long i = 0; i < lines; ++i) out << "ECHO \"line " << i << " of the generated script\"\n";
    }

    Measure ours = Best({varnel, "/r:" + script, "/hidden"}, runs);
    Measure base = Best({self, "--baseline", script}, runs);
    unlink(script.c_str());
    rmdir(dir);
    if (ours.status != 0 || base.status != 0) {
        std::printf("ROW\t%ld ECHO lines, hidden: FAILED (varnel status %d, baseline %d)\t-\t-\t-\n", lines,
                    ours.status, base.status);
        return 1;
    }
    std::printf("ROW\t%ld ECHO lines, hidden (time, peak mem)\t%.2f s, %.1f MiB\t%.2f s, %.1f MiB (read+split+log)"
                "\t%.2fx, %.2fx\n",
                lines, ours.seconds, ours.maxRssKiB / 1024.0, base.seconds, base.maxRssKiB / 1024.0,
                ours.seconds / base.seconds, static_cast<double>(ours.maxRssKiB) / base.maxRssKiB);
    return 0;
}
