// The keys of a log box: the caret moves and selects as in a read-only text
// editor; copying and selecting all.
#include <QAccessible>
#include <QKeyEvent>
#include <QScrollBar>
#include <algorithm>
#include <cctype>
#include <climits>

#include "ui/qt/log_accessible.h"
#include "ui/qt/log_view.h"

namespace varnel_qt {

namespace {

enum class Move { Left, Right, WordLeft, WordRight, Up, Down, PageUp, PageDown, RowStart, RowEnd, Start, End };

struct KeyMove {
    QKeySequence::StandardKey key;
    Move move;
    bool extend;  // Shift: the selection grows
};

constexpr KeyMove kKeyMoves[] = {
    {QKeySequence::MoveToPreviousChar, Move::Left, false},
    {QKeySequence::MoveToNextChar, Move::Right, false},
    {QKeySequence::MoveToPreviousWord, Move::WordLeft, false},
    {QKeySequence::MoveToNextWord, Move::WordRight, false},
    {QKeySequence::MoveToPreviousLine, Move::Up, false},
    {QKeySequence::MoveToNextLine, Move::Down, false},
    {QKeySequence::MoveToPreviousPage, Move::PageUp, false},
    {QKeySequence::MoveToNextPage, Move::PageDown, false},
    {QKeySequence::MoveToStartOfLine, Move::RowStart, false},
    {QKeySequence::MoveToEndOfLine, Move::RowEnd, false},
    {QKeySequence::MoveToStartOfDocument, Move::Start, false},
    {QKeySequence::MoveToEndOfDocument, Move::End, false},
    {QKeySequence::SelectPreviousChar, Move::Left, true},
    {QKeySequence::SelectNextChar, Move::Right, true},
    {QKeySequence::SelectPreviousWord, Move::WordLeft, true},
    {QKeySequence::SelectNextWord, Move::WordRight, true},
    {QKeySequence::SelectPreviousLine, Move::Up, true},
    {QKeySequence::SelectNextLine, Move::Down, true},
    {QKeySequence::SelectPreviousPage, Move::PageUp, true},
    {QKeySequence::SelectNextPage, Move::PageDown, true},
    {QKeySequence::SelectStartOfLine, Move::RowStart, true},
    {QKeySequence::SelectEndOfLine, Move::RowEnd, true},
    {QKeySequence::SelectStartOfDocument, Move::Start, true},
    {QKeySequence::SelectEndOfDocument, Move::End, true},
};

}  // namespace

void LogView::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        CopySelection();
    } else if (event->matches(QKeySequence::SelectAll)) {
        SelectAll();
    } else if (!MoveByKey(event)) {
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    event->accept();
}

bool LogView::MoveByKey(QKeyEvent* event) {
    const auto found = std::find_if(std::begin(kKeyMoves), std::end(kKeyMoves),
                                    [event](const KeyMove& m) { return event->matches(m.key); });
    if (found == std::end(kKeyMoves)) return false;
    const size_t size = store_.Size();
    size_t to = caret_;
    switch (found->move) {
        case Move::Left:
            // One shown character back: the zero-width bytes before it go too.
            if (to > 0) --to;
            while (to > 0 && ZeroWidth(store_.At(to - 1))) --to;
            break;
        case Move::Right:
            while (to < size && ZeroWidth(store_.At(to))) ++to;
            if (to < size) ++to;
            break;
        case Move::WordLeft: to = WordMove(false); break;
        case Move::WordRight: to = WordMove(true); break;
        case Move::Up: to = RowMove(-1); break;
        case Move::Down: to = RowMove(1); break;
        case Move::PageUp:
        case Move::PageDown: {
            const long page = found->move == Move::PageUp ? -PageRows() : PageRows();
            QScrollBar* bar = verticalScrollBar();
            to = RowMove(page);
            bar->setValue(bar->value() + static_cast<int>(page));
            break;
        }
        case Move::RowStart: to = RowOfOffset(store_, caret_, wrap_columns_).start; break;
        case Move::RowEnd: {
            // The end of a wrapped row is before its last byte (the space it
            // wraps after), so the caret stays in the row.
            const RowSpan row = RowOfOffset(store_, caret_, wrap_columns_);
            to = row.wrapped ? row.end - 1 : row.end;
            break;
        }
        case Move::Start: to = 0; break;
        case Move::End: to = size; break;
    }
    // Up and Down keep the column they started from, through short rows.
    const bool vertical = found->move == Move::Up || found->move == Move::Down || found->move == Move::PageUp ||
                          found->move == Move::PageDown;
    const double goal = goal_column_;
    MoveCaret(to, found->extend);
    if (vertical) goal_column_ = goal;
    return true;
}

size_t LogView::RowMove(long rows) {
    const RowSpan here = RowOfOffset(store_, caret_, wrap_columns_);
    if (goal_column_ < 0) goal_column_ = static_cast<double>(ColumnInRow(store_, here, caret_));
    const long row = static_cast<long>(rows_before_[here.line] + here.row) + rows;
    if (row < 0) return 0;
    if (static_cast<size_t>(row) >= total_rows_) return store_.Size();
    return OffsetInRow(store_, RowSpanOf(static_cast<size_t>(row)), goal_column_);
}

size_t LogView::WordMove(bool forward) const {
    // Runs of letters and digits are words; spaces are skipped; any other
    // byte (a line end, a punctuation mark) is a step of its own.
    const auto kind = [](char c) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (WrapSpace(c) || ZeroWidth(c)) return 0;
        if (std::isalnum(u) || u == '_' || u >= 0xC0) return 1;
        return 2;
    };
    const size_t size = store_.Size();
    size_t at = caret_;
    if (forward) {
        if (at < size) {
            const int k = kind(store_.At(at));
            if (k == 1)
                while (at < size && kind(store_.At(at)) == 1) ++at;
            else if (k == 2)
                ++at;
        }
        while (at < size && kind(store_.At(at)) == 0) ++at;
    } else {
        while (at > 0 && kind(store_.At(at - 1)) == 0) --at;
        if (at > 0) {
            if (kind(store_.At(at - 1)) == 1)
                while (at > 0 && kind(store_.At(at - 1)) == 1) --at;
            else
                --at;
        }
    }
    return at;
}

void LogView::MoveCaret(size_t to, bool extend) {
    const size_t anchor = extend ? anchor_ : to;
    anchor_ = anchor;
    caret_ = to;
    goal_column_ = -1;
    EnsureShown(caret_);
    viewport()->update();
    NotifyCaretAndSelection();
}

void LogView::NotifyCaretAndSelection() {
    if (!AssistiveTechnologyListens()) return;
    const auto clamp = [](size_t offset) { return static_cast<int>(std::min<size_t>(offset, INT_MAX)); };
    QAccessibleTextCursorEvent moved(this, clamp(caret_));
    Announce(&moved);
    QAccessibleTextSelectionEvent selected(this, clamp(std::min(anchor_, caret_)), clamp(std::max(anchor_, caret_)));
    Announce(&selected);
}

}  // namespace varnel_qt
