#include "ui/qt/log_view.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QScrollBar>
#include <algorithm>
#include <climits>

#include "ui/qt/log_accessible.h"

namespace varnel_qt {

namespace {
constexpr int kMargin = 4;  // pixels between the frame and the text
}  // namespace

LogView::LogView(QWidget* parent) : QAbstractScrollArea(parent) {
    InstallLogAccessibility();
    setFocusPolicy(Qt::StrongFocus);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    viewport()->setCursor(Qt::IBeamCursor);
    verticalScrollBar()->setSingleStep(1);
    Rewrap();
}

qreal LogView::CharWidth() const {
    // The advance of one character of the fixed font on this widget's screen,
    // fractions included (a row of them is drawn as one text).
    const qreal width =
        QFontMetricsF(font(), const_cast<LogView*>(this)).horizontalAdvance(QString(64, QLatin1Char('M'))) / 64;
    return width > 0 ? width : 1;
}

int LogView::PageRows() const {
    return std::max(1, (viewport()->height() - kMargin) / std::max(1, fontMetrics().lineSpacing()));
}

size_t LogView::LineOfRow(size_t row) const {
    return static_cast<size_t>(std::upper_bound(rows_before_.begin(), rows_before_.end(), row) -
                               rows_before_.begin()) - 1;
}

RowSpan LogView::RowSpanOf(size_t row) const {
    const size_t line = LineOfRow(row);
    return RowAt(store_, line, row - rows_before_[line], wrap_columns_);
}

void LogView::Rewrap() {
    const size_t top_line = LineOfRow(static_cast<size_t>(verticalScrollBar()->value()));
    wrap_columns_ = static_cast<size_t>(std::max(1.0, (viewport()->width() - 2 * kMargin) / CharWidth()));
    rows_before_.assign(1, 0);
    const size_t last = store_.LineCount() - 1;
    for (size_t line = 0; line < last; ++line)
        rows_before_.push_back(rows_before_.back() + RowsOfLine(store_, line, wrap_columns_));
    tail_ = WrapScanner(wrap_columns_, store_.LineStart(last));
    tail_rows_ = 1;
    while (tail_.NextRow(store_, store_.Size())) ++tail_rows_;
    total_rows_ = rows_before_.back() + tail_rows_;
    UpdateScrollBar();
    verticalScrollBar()->setValue(static_cast<int>(rows_before_[std::min(top_line, last)]));
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
    goal_column_ = -1;
    verticalScrollBar()->setValue(0);
    Rewrap();
    if (AssistiveTechnologyListens()) {
        QAccessibleTextUpdateEvent event(this, 0, QString(), AccessibleText(store_, 0, store_.Size()));
        Announce(&event);
    }
}

void LogView::AppendText(std::string_view text) {
    const size_t old_last = store_.LineCount() - 1, old_size = store_.Size();
    store_.Append(text);
    // The last line goes on from where its wrap scan stopped; every new
    // line is scanned once (and only when it is wider than a row).
    const size_t count = store_.LineCount();
    for (size_t line = old_last; line < count; ++line) {
        if (line > old_last) {
            tail_ = WrapScanner(wrap_columns_, store_.LineStart(line));
            tail_rows_ = 1;
        }
        if (store_.LineColumns(line) > wrap_columns_)
            while (tail_.NextRow(store_, store_.LineEnd(line))) ++tail_rows_;
        if (line + 1 < count) rows_before_.push_back(rows_before_.back() + tail_rows_);
    }
    total_rows_ = rows_before_.back() + tail_rows_;
    UpdateScrollBar();
    // Only a change within the shown rows needs drawing.
    const size_t first_shown = static_cast<size_t>(verticalScrollBar()->value());
    if (rows_before_[old_last] <= first_shown + static_cast<size_t>(PageRows())) viewport()->update();
    // A log announces what it adds, as a read-only text that grows.
    if (AssistiveTechnologyListens()) {
        QAccessibleTextInsertEvent event(this, static_cast<int>(std::min<size_t>(old_size, INT_MAX)),
                                         AccessibleText(store_, old_size, store_.Size()));
        Announce(&event);
    }
}

void LogView::MoveCaretToEnd() {
    anchor_ = caret_ = store_.Size();
    goal_column_ = -1;
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

QStringList LogView::RowTexts(size_t first, size_t count) const {
    QStringList rows;
    for (size_t row = first; row < total_rows_ && row < first + count; ++row) {
        const RowSpan span = RowSpanOf(row);
        rows.append(store_.ViewText(span.start, span.end, span.column));
    }
    return rows;
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
    size_t line = LineOfRow(first);
    const size_t skip = first - rows_before_[line];
    WrapScanner scanner(wrap_columns_, store_.LineStart(line));
    for (size_t row = 0; row < skip; ++row) scanner.NextRow(store_, store_.LineEnd(line));
    for (int y = kMargin; y < viewport()->height() && line < store_.LineCount(); y += spacing) {
        // One row: its bytes up to the next row's start or the line's end.
        const size_t line_end = store_.LineEnd(line);
        const size_t row_start = scanner.RowStart(), base = scanner.RowColumn();
        const bool wrapped = scanner.NextRow(store_, line_end);
        const size_t row_end = wrapped ? scanner.RowStart() : line_end;
        painter.setPen(colours.color(QPalette::Text));
        painter.drawText(kMargin, y + metrics.ascent(), store_.ViewText(row_start, row_end, base));
        // The selected part of the row, drawn over in the highlight colours
        // (a selected line end as one column).
        const size_t from = std::max(sel_from, row_start);
        const size_t to = std::min(sel_to, row_end + (wrapped ? 0 : 1));
        if (from < to) {
            size_t from_column = base;
            for (size_t i = row_start; i < from; ++i) from_column = NextColumn(from_column, store_.At(i));
            const QString part = store_.ViewText(from, std::min(to, row_end), from_column);
            const qreal width = static_cast<qreal>(part.size() + (to > row_end ? 1 : 0)) * cw;
            const QRectF box(kMargin + static_cast<qreal>(from_column - base) * cw, y, width, spacing);
            painter.fillRect(box, colours.brush(QPalette::Highlight));
            painter.setPen(colours.color(QPalette::HighlightedText));
            painter.drawText(QPointF(box.left(), y + metrics.ascent()), part);
        }
        if (hasFocus() && caret_ >= row_start && (caret_ < row_end || (!wrapped && caret_ == row_end))) {
            size_t column = base;
            for (size_t i = row_start; i < caret_; ++i) column = NextColumn(column, store_.At(i));
            const qreal x = kMargin + static_cast<qreal>(column - base) * cw;
            painter.fillRect(QRectF(x, y, 1, spacing), colours.brush(QPalette::Text));
        }
        if (!wrapped && ++line < store_.LineCount()) scanner = WrapScanner(wrap_columns_, store_.LineStart(line));
    }
}

QRect LogView::PositionRect(size_t offset) const {
    offset = std::min(offset, store_.Size());
    const RowSpan span = RowOfOffset(store_, offset, wrap_columns_);
    const long row = static_cast<long>(rows_before_[span.line] + span.row) - verticalScrollBar()->value();
    const int spacing = fontMetrics().lineSpacing();
    const qreal cw = CharWidth();
    const qreal x = kMargin + static_cast<qreal>(ColumnInRow(store_, span, offset)) * cw;
    return QRectF(x, kMargin + static_cast<qreal>(row) * spacing, cw, spacing).toAlignedRect();
}

size_t LogView::OffsetAt(QPoint point) const {
    const int spacing = std::max(1, fontMetrics().lineSpacing());
    const long wanted = static_cast<long>(verticalScrollBar()->value()) + std::max(0, point.y() - kMargin) / spacing;
    const RowSpan span = RowSpanOf(std::min<size_t>(static_cast<size_t>(wanted), total_rows_ - 1));
    return OffsetInRow(store_, span, std::max(0.0, (point.x() - kMargin) / CharWidth()));
}

void LogView::EnsureShown(size_t offset) {
    const RowSpan span = RowOfOffset(store_, std::min(offset, store_.Size()), wrap_columns_);
    const size_t row = rows_before_[span.line] + span.row;
    QScrollBar* bar = verticalScrollBar();
    const size_t top = static_cast<size_t>(bar->value()), page = static_cast<size_t>(PageRows());
    if (row < top) bar->setValue(static_cast<int>(std::min<size_t>(row, INT_MAX)));
    else if (row >= top + page) bar->setValue(static_cast<int>(std::min<size_t>(row - page + 1, INT_MAX)));
}

void LogView::Select(size_t anchor, size_t caret) {
    anchor_ = std::min(anchor, store_.Size());
    caret_ = std::min(caret, store_.Size());
    goal_column_ = -1;
    viewport()->update();
    NotifyCaretAndSelection();
}

void LogView::SelectAll() { Select(0, store_.Size()); }

QString LogView::SelectedText() const {
    const size_t from = std::min(anchor_, caret_), to = std::max(anchor_, caret_);
    return store_.ViewText(from, to, store_.ColumnOf(from));
}

void LogView::CopySelection() const {
    if (anchor_ != caret_) QApplication::clipboard()->setText(SelectedText());
}

bool LogView::AssistiveTechnologyListens() const { return QAccessible::isActive(); }

void LogView::Announce(QAccessibleEvent* event) { QAccessible::updateAccessibility(event); }

void LogView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    Rewrap();
}

void LogView::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) Rewrap();
}

void LogView::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();  // the caret shows
}

void LogView::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

void LogView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(event);
    const size_t at = OffsetAt(event->position().toPoint());
    Select(event->modifiers() & Qt::ShiftModifier ? anchor_ : at, at);
}

void LogView::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton)) return QAbstractScrollArea::mouseMoveEvent(event);
    Select(anchor_, OffsetAt(event->position().toPoint()));
}

void LogView::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* copy = menu.addAction(tr("&Copy"), this, [this] { CopySelection(); });
    copy->setEnabled(anchor_ != caret_);
    menu.addAction(tr("Select All"), this, [this] { SelectAll(); });
    menu.exec(event->globalPos());
}

}  // namespace varnel_qt
