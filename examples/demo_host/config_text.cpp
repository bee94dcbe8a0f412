#include "config_text.h"

#include <algorithm>

std::string ConfigText::Next(size_t limit) {
    const auto left = static_cast<size_t>(size_ - produced_);
    while (ready_.size() < std::min(limit, left)) {
        if (block_ == 0) {
            ready_ += "! varnel-demo configuration\r\nhostname varnel-demo\r\n";
        } else {
            const std::string n = std::to_string(block_);
            ready_ += "interface port1/" + n + "\r\n description link " + n + "\r\n no shutdown\r\n!\r\n";
        }
        ++block_;
    }
    size_t take = std::min({limit, left, ready_.size()});
    if (left - take == 1 && take > 1) --take;   // the last piece holds the whole closing line break
    std::string piece = ready_.substr(0, take);
    ready_.erase(0, take);
    produced_ += static_cast<long>(take);
    if (Done() && size_ >= 2) piece.replace(piece.size() - 2, 2, "\r\n");   // end on a whole line
    return piece;
}
