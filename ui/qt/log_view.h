// A log box: a read-only, multi-line view with a vertical scroll bar that
// draws its lines straight from the log's byte store (LogStore), so the window
// holds a log's text once, and appending costs the length of the appended
// text whatever the log's size.
//
// Text() gives back exactly the bytes set and appended (CRLF and all). Lines
// wrap at the box's width (by columns of its fixed font). Appending never
// scrolls the box; only MoveCaretToEnd and posted line scrolls do. The user
// scrolls with the bar, the wheel and the keys (arrows, page keys, Ctrl+Home,
// Ctrl+End), selects with the mouse or Ctrl+A and copies with Ctrl+C or the
// context menu.
#pragma once

#include <QAbstractScrollArea>
#include <deque>
#include <string>
#include <string_view>

#include "ui/qt/log_store.h"
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
    // Rows at the current width: a line takes one row per full width.
    size_t RowCount() const { return total_rows_; }
    size_t WrapColumns() const { return wrap_columns_; }
    size_t Caret() const { return caret_; }
    void SelectAll();
    QString SelectedText() const;
    void CopySelection() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    size_t RowsOfLine(size_t line) const;
    // Recounts every line's rows (another width or font); keeps the top line.
    void Rewrap();
    void UpdateScrollBar();
    int PageRows() const;
    qreal CharWidth() const;
    // The byte offset under a point of the viewport.
    size_t OffsetAt(QPoint point) const;
    // The first byte of row `row` of `line` (after its zero-width bytes).
    size_t RowStart(size_t line, size_t row) const;

    LogStore store_;
    std::deque<size_t> rows_before_{0};  // rows of all earlier lines, per line
    size_t total_rows_ = 1;
    size_t wrap_columns_ = 1;
    size_t anchor_ = 0, caret_ = 0;  // the selection is [min, max) of the two
};

}  // namespace varnel_qt
