// A first-in, first-out byte buffer: appends at the end, removes from the
// front. Removing from the front only moves a start offset, so taking a large
// buffer apart in small pieces costs the size of the pieces, not of the
// buffer; the consumed front is dropped when it outweighs what is left.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

class ByteQueue {
public:
    size_t Size() const { return bytes_.size() - head_; }
    bool Empty() const { return Size() == 0; }

    void Append(std::string_view more) {
        if (head_ > 0 && head_ == bytes_.size()) Clear();
        bytes_.append(more.data(), more.size());
    }
    // The first count bytes (all of them if there are fewer), left in place.
    std::string_view Front(size_t count) const {
        return std::string_view(bytes_).substr(head_, std::min(count, Size()));
    }
    // Removes the first count bytes (all of them if there are fewer).
    void Drop(size_t count) {
        head_ += std::min(count, Size());
        if (head_ == bytes_.size()) {
            Clear();
        } else if (head_ > 65536 && head_ > bytes_.size() / 2) {
            bytes_.erase(0, head_);
            head_ = 0;
        }
    }
    // Removes and returns the first count bytes. Taking everything hands the
    // storage over without copying.
    std::string Take(size_t count) {
        if (count >= Size()) {
            std::string all = head_ == 0 ? std::move(bytes_) : bytes_.substr(head_);
            Clear();
            return all;
        }
        std::string part(Front(count));
        Drop(count);
        return part;
    }
    // Replaces the content.
    void Assign(std::string bytes) {
        bytes_ = std::move(bytes);
        head_ = 0;
    }
    // Empties the buffer; storage beyond 1 MiB is given back.
    void Clear() {
        if (bytes_.capacity() > (1u << 20)) {
            std::string().swap(bytes_);
        } else {
            bytes_.clear();
        }
        head_ = 0;
    }

private:
    std::string bytes_;
    size_t head_ = 0;
};
