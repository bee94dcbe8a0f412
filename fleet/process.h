// Runs a program to its end without a shell: the fleet's way of calling git.
#pragma once

#include <string>
#include <vector>

namespace fleet {

struct ProcessOutput {
    int status = -1;     // exit status; 128+N when ended by signal N; -1 when it could not start
    std::string output;  // standard output and standard error, in the order written
};

// Starts argv[0] (looked up in PATH), writes input to its standard input,
// collects what it writes and waits for it, in this process's environment.
ProcessOutput RunProgram(const std::vector<std::string>& argv, const std::string& input = std::string());

}  // namespace fleet
