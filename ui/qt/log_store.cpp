#include "ui/qt/log_store.h"

#include <algorithm>
#include <cstring>

namespace varnel_qt {

namespace {
size_t NextColumn(size_t column, char c) {
    if (c == '\r' || c == '\0') return column;
    if (c == '\t') return (column / LogStore::kTabColumns + 1) * LogStore::kTabColumns;
    return column + 1;
}
uint32_t Clamp(size_t columns) { return static_cast<uint32_t>(std::min<size_t>(columns, UINT32_MAX)); }
}  // namespace

void LogStore::Assign(std::string_view bytes) {
    blocks_.clear();
    size_ = 0;
    starts_.assign(1, 0);
    columns_.assign(1, 0);
    Append(bytes);
}

void LogStore::Append(std::string_view bytes) {
    size_t column = columns_.back();  // the last line goes on
    for (size_t done = 0; done < bytes.size();) {
        if (size_ % kBlock == 0 && size_ / kBlock == blocks_.size())
            blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlock));
        const size_t room = kBlock - size_ % kBlock;
        const size_t n = std::min(room, bytes.size() - done);
        char* to = blocks_[size_ / kBlock].get() + size_ % kBlock;
        std::memcpy(to, bytes.data() + done, n);
        for (size_t i = 0; i < n; ++i) {
            const char c = to[i];
            if (c == '\n') {
                columns_.back() = Clamp(column);
                starts_.push_back(size_ + i + 1);
                columns_.push_back(0);
                column = 0;
            } else {
                column = NextColumn(column, c);
            }
        }
        size_ += n;
        done += n;
    }
    columns_.back() = Clamp(column);
}

std::string LogStore::Bytes(size_t from, size_t to) const {
    std::string text;
    text.reserve(to - from);
    while (from < to) {
        const size_t n = std::min(to - from, kBlock - from % kBlock);
        text.append(blocks_[from / kBlock].get() + from % kBlock, n);
        from += n;
    }
    return text;
}

size_t LogStore::LineOf(size_t offset) const {
    return static_cast<size_t>(std::upper_bound(starts_.begin(), starts_.end(), offset) - starts_.begin()) - 1;
}

QString LogStore::ViewText(size_t from, size_t to, size_t start_column) const {
    QString text;
    text.reserve(static_cast<qsizetype>(to - from));
    size_t column = start_column;
    for (size_t i = from; i < to; ++i) {
        const char c = At(i);
        if (c == '\n') {
            text.append(QChar('\n'));
            column = 0;
        } else if (c == '\t') {
            const size_t next = NextColumn(column, c);
            text.append(QString(static_cast<qsizetype>(next - column), QChar(' ')));
            column = next;
        } else if (c != '\r' && c != '\0') {
            text.append(QChar(static_cast<unsigned char>(c)));
            ++column;
        }
    }
    return text;
}

size_t LogStore::ColumnOf(size_t offset) const {
    size_t column = 0;
    for (size_t i = starts_[LineOf(offset)]; i < offset; ++i) column = NextColumn(column, At(i));
    return column;
}

size_t LogStore::MemoryBytes() const {
    return blocks_.size() * kBlock + starts_.size() * sizeof(size_t) + columns_.size() * sizeof(uint32_t);
}

}  // namespace varnel_qt
