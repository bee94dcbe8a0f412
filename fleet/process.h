// Runs a program to its end without a shell: the fleet's way of calling git.
#pragma once

#include <functional>
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

// The same with the input made as it is written: feed puts the next piece in
// its argument and returns false once there is no more (a last piece may come
// with that false). A program that stops reading gets no more of it.
ProcessOutput RunProgram(const std::vector<std::string>& argv, const std::function<bool(std::string&)>& feed);

}  // namespace fleet
