// The bytes of a log box and the index of its lines: the one copy of a log's
// text that the window keeps. The view draws from it; nothing else holds the
// text a second time.
//
// The bytes live in blocks of a fixed size, so a growing log is never copied
// to a larger block. Lines end at LF; a CR and a NUL show nothing; a tab
// reaches the next multiple of eight columns; every other byte is one column
// and shows as its Latin-1 character. Appending costs the length of the
// appended bytes.
#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace varnel_qt {

class LogStore {
public:
    static constexpr int kTabColumns = 8;

    void Assign(std::string_view bytes);
    void Append(std::string_view bytes);

    size_t Size() const { return size_; }
    char At(size_t offset) const { return blocks_[offset / kBlock][offset % kBlock]; }
    std::string Bytes(size_t from, size_t to) const;  // [from, to)

    // Lines: at least one (an empty log has one empty line).
    size_t LineCount() const { return starts_.size(); }
    size_t LineStart(size_t line) const { return starts_[line]; }
    // The offset of the line's LF, or Size() for the last line.
    size_t LineEnd(size_t line) const { return line + 1 < starts_.size() ? starts_[line + 1] - 1 : size_; }
    // The columns the line's text takes.
    size_t LineColumns(size_t line) const { return columns_[line]; }
    // The line holding the byte at offset (offset Size() is in the last line).
    size_t LineOf(size_t offset) const;

    // The view's text of [from, to): Latin-1, LF as a line break, tabs as
    // spaces to the next stop (counted from start_column), CR and NUL left out.
    QString ViewText(size_t from, size_t to, size_t start_column = 0) const;
    // The columns of the byte at offset within its line (before the byte).
    size_t ColumnOf(size_t offset) const;

    // What the store holds in memory, in bytes (blocks and index).
    size_t MemoryBytes() const;

private:
    static constexpr size_t kBlock = size_t{1} << 20;
    std::vector<std::unique_ptr<char[]>> blocks_;
    size_t size_ = 0;
    // Double-ended queues grow in small blocks: no copy to a larger array
    // and no unused half of one.
    std::deque<size_t> starts_{0};
    std::deque<uint32_t> columns_{0};  // a line's columns, up to 4 G
};

}  // namespace varnel_qt
