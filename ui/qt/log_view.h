// A log box: a read-only, multi-line view with a vertical scroll bar that
// draws its lines straight from the log's byte store (LogStore), so the window
// holds a log's text once, and appending costs the length of the appended
// text whatever the log's size.
//
// Text() gives back exactly the bytes set and appended (CRLF and all). Lines
// wrap at word boundaries at the box's width (by columns of its fixed font);
// a word longer than a row is broken. Appending never scrolls the box and
// keeps the selection; only MoveCaretToEnd, posted line scrolls and the
// user's keys move the view. The caret and the selection are byte positions:
// the keys of a read-only text editor move the caret (arrows, Ctrl+arrows by
// words, Home/End in the row, Page keys, Ctrl+Home/End) and select with
// Shift; the mouse selects too; Ctrl+A selects all, Ctrl+C or the context
// menu copies. Assistive technology reads the log through its accessible
// text interface (log_accessible.h), which takes its text from the store.
#pragma once

#include <QAbstractScrollArea>
#include <QAccessibleEvent>
#include <deque>
#include <string>
#include <string_view>

#include "ui/qt/log_store.h"
#include "ui/qt/log_wrap.h"
#include "ui/text_box.h"

namespace varnel_qt {

class LogView : public QAbstractScrollArea, public ITextBox {
    Q_OBJECT
public:
    explicit LogView(QWidget* parent = nullptr);

    std::string Text() const override { return store_.Bytes(0, store_.Size()); }
    void SetText(std::string_view text) override;
    void AppendText(std::string_view text) override;
    void MoveCaretToEnd() override;
    void PostLineScroll(int columns, int lines) override;
    bool Visible() const override { return !isHidden(); }
    void SetVisible(bool visible) override { setVisible(visible); }

    const LogStore& Store() const { return store_; }
    // The whole text as the box shows it (lines joined by '\n').
    QString ViewText() const { return store_.ViewText(0, store_.Size()); }
    // Rows at the current width, and the columns of a row.
    size_t RowCount() const { return total_rows_; }
    size_t WrapColumns() const { return wrap_columns_; }
    // The text of each row shown at the current width, top to bottom, from
    // row `first` on (at most `count` rows).
    QStringList RowTexts(size_t first, size_t count) const;

    size_t Caret() const { return caret_; }
    size_t Anchor() const { return anchor_; }
    // Puts the caret at `caret`, the selection running from `anchor` to it.
    void Select(size_t anchor, size_t caret);
    void SelectAll();
    QString SelectedText() const;
    void CopySelection() const;
    // The box of the position before byte `offset` (a character's width),
    // in the viewport's coordinates.
    QRect PositionRect(size_t offset) const;
    // The position under a point of the viewport.
    size_t OffsetAt(QPoint point) const;
    // Scrolls so that the row of `offset` is shown.
    void EnsureShown(size_t offset);
    // Counts the rows again for the current width and font (another width,
    // font or screen); keeps the top line.
    void Rewrap();

protected:
    // Whether assistive technology listens, and an event sent to it.
    virtual bool AssistiveTechnologyListens() const;
    virtual void Announce(QAccessibleEvent* event);

    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    // The caret's moves by key (log_view_keys.cpp).
    bool MoveByKey(QKeyEvent* event);
    size_t RowMove(long rows);
    size_t WordMove(bool forward) const;
    // Sets the caret (and the anchor unless `extend`), shows it and tells
    // assistive technology.
    void MoveCaret(size_t to, bool extend);
    void NotifyCaretAndSelection();

    void UpdateScrollBar();
    int PageRows() const;
    qreal CharWidth() const;
    size_t LineOfRow(size_t row) const;
    RowSpan RowSpanOf(size_t row) const;

    LogStore store_;
    std::deque<size_t> rows_before_{0};  // rows of all earlier lines, per line
    size_t total_rows_ = 1;
    size_t wrap_columns_ = 1;
    WrapScanner tail_;          // the wrap of the last line, so far
    size_t tail_rows_ = 1;      // its rows so far
    size_t anchor_ = 0, caret_ = 0;  // the selection is [min, max) of the two
    double goal_column_ = -1;   // the column Up/Down keep (-1: the caret's own)
};

}  // namespace varnel_qt
