#include "ui/qt/log_wrap.h"

#include <cmath>

namespace varnel_qt {

size_t NextColumn(size_t column, char c) {
    if (ZeroWidth(c)) return column;
    if (c == '\t') return (column / LogStore::kTabColumns + 1) * LogStore::kTabColumns;
    return column + 1;
}

bool WrapScanner::NextRow(const LogStore& store, size_t line_end) {
    while (pos_ < line_end) {
        const char c = store.At(pos_);
        const size_t next = NextColumn(column_, c);
        if (next > row_column_ + width_ && pos_ > row_start_ && !WrapSpace(c) && !ZeroWidth(c)) {
            // The byte does not fit: the row ends after its last space, or
            // here when its one word is longer than the row.
            if (break_ > row_start_ && break_column_ > row_column_) {
                row_start_ = break_;
                row_column_ = break_column_;
            } else {
                row_start_ = pos_;
                row_column_ = column_;
            }
            break_ = row_start_;
            break_column_ = row_column_;
            return true;
        }
        column_ = next;
        ++pos_;
        if (WrapSpace(c)) {
            break_ = pos_;
            break_column_ = column_;
        }
    }
    return false;
}

size_t RowsOfLine(const LogStore& store, size_t line, size_t width) {
    if (store.LineColumns(line) <= width) return 1;
    WrapScanner scanner(width, store.LineStart(line));
    size_t rows = 1;
    while (scanner.NextRow(store, store.LineEnd(line))) ++rows;
    return rows;
}

RowSpan RowAt(const LogStore& store, size_t line, size_t row, size_t width) {
    const size_t line_end = store.LineEnd(line);
    WrapScanner scanner(width, store.LineStart(line));
    RowSpan span;
    span.line = line;
    for (;;) {
        span.start = scanner.RowStart();
        span.column = scanner.RowColumn();
        span.wrapped = scanner.NextRow(store, line_end);
        span.end = span.wrapped ? scanner.RowStart() : line_end;
        if (!span.wrapped || span.row == row) return span;
        ++span.row;
    }
}

RowSpan RowOfOffset(const LogStore& store, size_t offset, size_t width) {
    const size_t line = store.LineOf(offset);
    const size_t line_end = store.LineEnd(line);
    WrapScanner scanner(width, store.LineStart(line));
    RowSpan span;
    span.line = line;
    for (;;) {
        span.start = scanner.RowStart();
        span.column = scanner.RowColumn();
        span.wrapped = scanner.NextRow(store, line_end);
        span.end = span.wrapped ? scanner.RowStart() : line_end;
        if (!span.wrapped || offset < span.end) return span;
        ++span.row;
    }
}

size_t ColumnInRow(const LogStore& store, const RowSpan& row, size_t offset) {
    size_t column = row.column;
    for (size_t i = row.start; i < offset && i < row.end; ++i) column = NextColumn(column, store.At(i));
    return column - row.column;
}

size_t OffsetInRow(const LogStore& store, const RowSpan& row, double column) {
    // The last position of a wrapped row is the next row's start: stop
    // before the row's last byte instead.
    const size_t last = row.wrapped && row.end > row.start ? row.end - 1 : row.end;
    size_t offset = row.start, at = row.column;
    while (offset < last) {
        const size_t next = NextColumn(at, store.At(offset));
        // Past the middle of the byte's columns: the position after it.
        if (static_cast<double>(at - row.column) + static_cast<double>(next - at) / 2.0 > column) break;
        at = next;
        ++offset;
    }
    return offset;
}

}  // namespace varnel_qt
