// Word wrap of a log line into rows of at most a given number of columns.
//
// A row breaks after the last space or tab that fits; only a word longer than
// a whole row is broken inside. Spaces at the end of a row may hang past its
// width (they show nothing), so the next row starts at a word. Whether a row
// ends is known from the bytes up to the first one that does not fit, so a
// scanner can go on with the bytes appended to a line later without looking
// at the earlier rows again.
#pragma once

#include <cstddef>

#include "ui/qt/log_store.h"

namespace varnel_qt {

// The columns a byte takes, from `column` on: CR and NUL none, a tab up to
// the next stop, any other byte one.
size_t NextColumn(size_t column, char c);
inline bool ZeroWidth(char c) { return c == '\r' || c == '\0'; }
inline bool WrapSpace(char c) { return c == ' ' || c == '\t'; }

class WrapScanner {
public:
    WrapScanner() = default;
    // A scanner at the start of the line that begins at `line_start`.
    WrapScanner(size_t width, size_t line_start)
        : width_(width < 1 ? 1 : width), row_start_(line_start), pos_(line_start), break_(line_start) {}

    // Scans on until the next row begins (true) or `line_end` is reached
    // (false, the row is the last one so far). The row's start is then
    // RowStart().
    bool NextRow(const LogStore& store, size_t line_end);
    size_t RowStart() const { return row_start_; }
    // The line's column at the start of the row.
    size_t RowColumn() const { return row_column_; }

private:
    size_t width_ = 1;
    size_t row_start_ = 0, row_column_ = 0;
    size_t pos_ = 0, column_ = 0;              // how far the scan has gone
    size_t break_ = 0, break_column_ = 0;      // after the row's last space
};

// The rows of a line: one when it fits, else counted by a scan.
size_t RowsOfLine(const LogStore& store, size_t line, size_t width);

// A row of the view: where it starts and ends in the store.
struct RowSpan {
    size_t line = 0, row = 0;   // the line and the row within it
    size_t start = 0, end = 0;  // [start, end): its bytes (end is the next row's start or the line's end)
    size_t column = 0;          // the line's column at start
    bool wrapped = false;       // the line goes on in a next row
};

// Row `row` of `line` (a scan of the line up to it).
RowSpan RowAt(const LogStore& store, size_t line, size_t row, size_t width);
// The row that shows the position before byte `offset` (a position where a
// row wraps belongs to the next row).
RowSpan RowOfOffset(const LogStore& store, size_t offset, size_t width);
// The columns from the row's start to the position before `offset`.
size_t ColumnInRow(const LogStore& store, const RowSpan& row, size_t offset);
// The position in the row nearest to `column` columns from its start.
size_t OffsetInRow(const LogStore& store, const RowSpan& row, double column);

}  // namespace varnel_qt
