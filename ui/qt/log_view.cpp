#include "ui/qt/log_view.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QScrollBar>
#include <algorithm>
#include <climits>

namespace varnel_qt {

namespace {
constexpr int kMargin = 4;  // pixels between the frame and the text
bool ZeroWidth(char c) { return c == '\r' || c == '\0'; }
size_t Next(size_t column, char c) {
    if (ZeroWidth(c)) return column;
    if (c == '\t') return (column / LogStore::kTabColumns + 1) * LogStore::kTabColumns;
    return column + 1;
}
}  // namespace

LogView::LogView(QWidget* parent) : QAbstractScrollArea(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    viewport()->setCursor(Qt::IBeamCursor);
    verticalScrollBar()->setSingleStep(1);
    wrap_columns_ = 1;
    Rewrap();
}

qreal LogView::CharWidth() const {
    // The advance of one character of the fixed font, fractions included (a
    // row of them is drawn as one text).
    const qreal width = QFontMetricsF(font()).horizontalAdvance(QString(64, QLatin1Char('M'))) / 64;
    return width > 0 ? width : 1;
}

int LogView::PageRows() const {
    return std::max(1, (viewport()->height() - kMargin) / std::max(1, fontMetrics().lineSpacing()));
}

size_t LogView::RowsOfLine(size_t line) const {
    const size_t columns = store_.LineColumns(line);
    return columns == 0 ? 1 : (columns + wrap_columns_ - 1) / wrap_columns_;
}

void LogView::Rewrap() {
    const size_t top_line = total_rows_ > 0 && !rows_before_.empty()
                                ? static_cast<size_t>(std::upper_bound(rows_before_.begin(), rows_before_.end(),
                                                                       static_cast<size_t>(verticalScrollBar()->value())) -
                                                      rows_before_.begin()) - 1
                                : 0;
    wrap_columns_ = static_cast<size_t>(std::max(1.0, (viewport()->width() - 2 * kMargin) / CharWidth()));
    rows_before_.assign(1, 0);
    for (size_t line = 1; line < store_.LineCount(); ++line)
        rows_before_.push_back(rows_before_.back() + RowsOfLine(line - 1));
    total_rows_ = rows_before_.back() + RowsOfLine(store_.LineCount() - 1);
    UpdateScrollBar();
    verticalScrollBar()->setValue(static_cast<int>(rows_before_[std::min(top_line, rows_before_.size() - 1)]));
    viewport()->update();
}

void LogView::UpdateScrollBar() {
    QScrollBar* bar = verticalScrollBar();
    const int page = PageRows();
    const size_t rows = std::min<size_t>(total_rows_, INT_MAX);
    bar->setPageStep(page);
    bar->setRange(0, std::max(0, static_cast<int>(rows) - page));
}

void LogView::SetText(std::string_view text) {
    store_.Assign(text);
    anchor_ = caret_ = 0;
    verticalScrollBar()->setValue(0);
    Rewrap();
}

void LogView::AppendText(std::string_view text) {
    const size_t last = store_.LineCount() - 1;
    store_.Append(text);
    for (size_t line = last + 1; line < store_.LineCount(); ++line)
        rows_before_.push_back(rows_before_.back() + RowsOfLine(line - 1));
    total_rows_ = rows_before_.back() + RowsOfLine(store_.LineCount() - 1);
    UpdateScrollBar();
    // Only a change within the shown rows needs drawing.
    const size_t first_shown = static_cast<size_t>(verticalScrollBar()->value());
    if (rows_before_[last] <= first_shown + static_cast<size_t>(PageRows())) viewport()->update();
}

void LogView::MoveCaretToEnd() {
    anchor_ = caret_ = store_.Size();
    QScrollBar* bar = verticalScrollBar();
    bar->setValue(bar->maximum());
    viewport()->update();
}

void LogView::PostLineScroll(int columns, int lines) {
    QPointer<LogView> target(this);
    QMetaObject::invokeMethod(
        this,
        [target, columns, lines] {
            if (target == nullptr) return;
            // The vertical bar counts rows; lines wrap, so there is no
            // horizontal room to scroll into.
            QScrollBar* vertical = target->verticalScrollBar();
            vertical->setValue(vertical->value() + lines);
            QScrollBar* horizontal = target->horizontalScrollBar();
            horizontal->setValue(horizontal->value() + static_cast<int>(columns * target->CharWidth()));
        },
        Qt::QueuedConnection);
}

size_t LogView::RowStart(size_t line, size_t row) const {
    const size_t end = store_.LineEnd(line), target = row * wrap_columns_;
    size_t offset = store_.LineStart(line), column = 0;
    while (offset < end && (column < target || ZeroWidth(store_.At(offset)))) column = Next(column, store_.At(offset++));
    return offset;
}

void LogView::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    const QPalette& colours = palette();
    painter.fillRect(viewport()->rect(), colours.brush(QPalette::Base));
    painter.setFont(font());
    const QFontMetrics metrics = fontMetrics();
    const qreal cw = CharWidth();
    const int spacing = metrics.lineSpacing();
    const size_t sel_from = std::min(anchor_, caret_), sel_to = std::max(anchor_, caret_);

    const size_t first = static_cast<size_t>(verticalScrollBar()->value());
    size_t line = static_cast<size_t>(std::upper_bound(rows_before_.begin(), rows_before_.end(), first) -
                                      rows_before_.begin()) - 1;
    size_t row = first - rows_before_[line];
    size_t offset = RowStart(line, row);
    for (int y = kMargin; y < viewport()->height() && line < store_.LineCount(); y += spacing) {
        // One row: the bytes up to the wrap width or the line's end.
        const size_t end = store_.LineEnd(line);
        const size_t row_start = offset;
        size_t column = row * wrap_columns_;
        const size_t row_end_column = column + wrap_columns_;
        while (offset < end && (column < row_end_column || ZeroWidth(store_.At(offset))))
            column = Next(column, store_.At(offset++));
        const size_t base = row * wrap_columns_;
        const QString text = store_.ViewText(row_start, offset, base);
        painter.setPen(colours.color(QPalette::Text));
        painter.drawText(kMargin, y + metrics.ascent(), text);
        // The selected part of the row, drawn over in the highlight colours.
        const size_t from = std::max(sel_from, row_start), to = std::min(sel_to, offset);
        if (from < to) {
            size_t from_column = base;
            for (size_t i = row_start; i < from; ++i) from_column = Next(from_column, store_.At(i));
            const QString part = store_.ViewText(from, to, from_column);
            const QRectF box(kMargin + static_cast<qreal>(from_column - base) * cw, y,
                             static_cast<qreal>(part.size()) * cw, spacing);
            painter.fillRect(box, colours.brush(QPalette::Highlight));
            painter.setPen(colours.color(QPalette::HighlightedText));
            painter.drawText(QPointF(box.left(), y + metrics.ascent()), part);
        }
        if (offset >= end) {
            ++line;
            row = 0;
            if (line < store_.LineCount()) offset = store_.LineStart(line);
        } else {
            ++row;
        }
    }
}

size_t LogView::OffsetAt(QPoint point) const {
    const int spacing = std::max(1, fontMetrics().lineSpacing());
    const long wanted = static_cast<long>(verticalScrollBar()->value()) + std::max(0, point.y() - kMargin) / spacing;
    const size_t target_row = std::min<size_t>(static_cast<size_t>(wanted), total_rows_ - 1);
    const size_t line = static_cast<size_t>(std::upper_bound(rows_before_.begin(), rows_before_.end(), target_row) -
                                            rows_before_.begin()) - 1;
    const size_t row = target_row - rows_before_[line];
    const qreal cw = CharWidth();
    const size_t column = row * wrap_columns_ + static_cast<size_t>(std::max(0.0, (point.x() - kMargin) / cw + 0.5));
    const size_t row_end_column = (row + 1) * wrap_columns_;
    const size_t end = store_.LineEnd(line);
    size_t offset = RowStart(line, row), at = row * wrap_columns_;
    while (offset < end && at < std::min(column, row_end_column)) at = Next(at, store_.At(offset++));
    return offset;
}

void LogView::SelectAll() {
    anchor_ = 0;
    caret_ = store_.Size();
    viewport()->update();
}

QString LogView::SelectedText() const {
    const size_t from = std::min(anchor_, caret_), to = std::max(anchor_, caret_);
    return store_.ViewText(from, to, store_.ColumnOf(from));
}

void LogView::CopySelection() const {
    if (anchor_ != caret_) QApplication::clipboard()->setText(SelectedText());
}

void LogView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    Rewrap();
}

void LogView::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) Rewrap();
}

void LogView::keyPressEvent(QKeyEvent* event) {
    QScrollBar* bar = verticalScrollBar();
    if (event->matches(QKeySequence::Copy)) {
        CopySelection();
    } else if (event->matches(QKeySequence::SelectAll)) {
        SelectAll();
    } else if (event->matches(QKeySequence::MoveToStartOfDocument)) {
        bar->setValue(0);
    } else if (event->matches(QKeySequence::MoveToEndOfDocument)) {
        bar->setValue(bar->maximum());
    } else {
        QAbstractScrollArea::keyPressEvent(event);  // arrows and page keys scroll
        return;
    }
    event->accept();
}

void LogView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(event);
    caret_ = OffsetAt(event->position().toPoint());
    if (!(event->modifiers() & Qt::ShiftModifier)) anchor_ = caret_;
    viewport()->update();
}

void LogView::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton)) return QAbstractScrollArea::mouseMoveEvent(event);
    caret_ = OffsetAt(event->position().toPoint());
    viewport()->update();
}

void LogView::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* copy = menu.addAction(tr("&Copy"), this, [this] { CopySelection(); });
    copy->setEnabled(anchor_ != caret_);
    menu.addAction(tr("Select All"), this, [this] { SelectAll(); });
    menu.exec(event->globalPos());
}

}  // namespace varnel_qt
