// A first-in, first-out byte buffer: appends at the end, removes from the
// front. Removing from the front only moves a start offset, so taking a large
// buffer apart in small pieces costs the size of the pieces, not of the
// buffer; the consumed front is dropped when it outweighs what is left.
//
// The storage is a string whose size may run past the content (room that a
// receive call can fill directly); taking everything may hand the storage
// over in exchange for the taker's own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

class ByteQueue {
public:
    size_t Size() const { return tail_ - head_; }
    size_t Capacity() const { return bytes_.capacity(); }
    bool Empty() const { return tail_ == head_; }

    void Append(std::string_view more) {
        std::memcpy(Room(more.size()), more.data(), more.size());
        tail_ += more.size();
    }
    // Room for count more bytes at the end; Commit says how many were written.
    char* Room(size_t count) {
        if (head_ > 0 && (head_ == tail_ || (head_ > 65536 && head_ > Size()))) {
            std::memmove(bytes_.data(), bytes_.data() + head_, Size());
            tail_ -= head_;
            head_ = 0;
        }
        if (bytes_.size() < tail_ + count) bytes_.resize(tail_ + count);
        return bytes_.data() + tail_;
    }
    void Commit(size_t count) { tail_ += count; }

    // The first count bytes (all of them if there are fewer), left in place.
    std::string_view Front(size_t count) const {
        return std::string_view(bytes_.data() + head_, std::min(count, Size()));
    }
    // Removes the first count bytes (all of them if there are fewer).
    void Drop(size_t count) {
        head_ += std::min(count, Size());
        if (head_ == tail_) Clear();
    }
    // Removes the first count bytes into out (its content is replaced).
    void TakeInto(size_t count, std::string& out) {
        if (count >= Size() && head_ == 0 && ExchangeIsCheaper(out)) {
            // Everything: the storage changes hands without copying, and
            // out's old storage becomes the room for what comes next.
            bytes_.resize(tail_);
            out.swap(bytes_);
            head_ = tail_ = 0;
            return;
        }
        out.assign(Front(count));
        Drop(count);
    }
    // Replaces the content.
    void Assign(std::string bytes) {
        bytes_ = std::move(bytes);
        head_ = 0;
        tail_ = bytes_.size();
    }
    // Empties the buffer; storage beyond 1 MiB is given back.
    void Clear() {
        if (bytes_.capacity() > (1u << 20)) std::string().swap(bytes_);
        head_ = tail_ = 0;
    }

private:
    // Exchanging storages costs filling out's storage up to the current room
    // (all of the room when it is too small); copying costs the content. A
    // taker that keeps its string from one call to the next gets each large
    // content without a copy, and a small content is copied without giving
    // the room of a whole receive call away.
    bool ExchangeIsCheaper(const std::string& out) const {
        const size_t room = bytes_.size();
        const size_t refill = out.capacity() >= room ? room - std::min(out.size(), room) : room;
        return refill < Size();
    }

    std::string bytes_;
    size_t head_ = 0;
    size_t tail_ = 0;
};
