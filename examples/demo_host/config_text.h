// The demo host's configuration listing: exactly `size` bytes of plausible
// lines, ending with a line break, produced piece by piece so that even the
// largest listing is never held in memory whole.
#pragma once

#include <cstddef>
#include <string>

class ConfigText {
public:
    explicit ConfigText(long size) : size_(size < 0 ? 0 : size) {}
    bool Done() const { return produced_ == size_; }
    // The next piece, at most `limit` bytes (limit >= 2); empty once Done.
    std::string Next(size_t limit);

private:
    long size_;
    long produced_ = 0;
    int block_ = 0;        // the next block of lines to write: 0 the header, then interfaces 1, 2, ...
    std::string ready_;    // written but not handed out yet
};
