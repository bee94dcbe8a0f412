// Reading a telnet session's socket debug log in tests.
#pragma once

#include <string>

// Blocks of the socket log (each starts at an "FD_READ" line) that the
// telnet session answered, before the first one that carried data: the
// negotiation round trips the host waited for before its first data.
// -1 when no block carried data.
inline int AnsweredBlocksBeforeData(const std::string& log) {
    int answered = 0;
    bool thisBlockAnswered = false;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        const std::string line = log.substr(start, end - start);
        start = end + 1;
        if (line.rfind("FD_READ ", 0) == 0) {
            if (thisBlockAnswered) ++answered;
            thisBlockAnswered = false;
        } else if (line.rfind("OK Telnet negotiation answered: ", 0) == 0) {
            thisBlockAnswered = true;
        } else if (line.rfind("OK Telnet data: ", 0) == 0) {
            return answered;
        }
    }
    return -1;
}
