#include "ui/qt/log_accessible.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QScrollBar>
#include <algorithm>
#include <cctype>
#include <climits>

#include "ui/qt/log_store.h"
#include "ui/qt/log_view.h"

namespace varnel_qt {

namespace {

int Clamp(size_t offset) { return static_cast<int>(std::min<size_t>(offset, INT_MAX)); }

// The kind of a byte for word boundaries: a line end, a space, a word
// character, any other.
int Kind(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '\n') return 0;
    if (c == ' ' || c == '\t' || c == '\r' || c == '\0') return 1;
    if (std::isalnum(u) || u == '_' || u >= 0xC0) return 2;
    return 3;
}

class LogAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit LogAccessible(LogView* view) : QAccessibleWidget(view, QAccessible::EditableText) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.readOnly = true;
        s.multiLine = true;
        s.selectableText = true;
        s.focusable = true;
        return s;
    }

    // The text interface.
    void selection(int index, int* start, int* end) const override {
        *start = *end = 0;
        if (index != 0 || View()->Anchor() == View()->Caret()) return;
        *start = Clamp(std::min(View()->Anchor(), View()->Caret()));
        *end = Clamp(std::max(View()->Anchor(), View()->Caret()));
    }
    int selectionCount() const override { return View()->Anchor() != View()->Caret() ? 1 : 0; }
    void addSelection(int start, int end) override { setSelection(0, start, end); }
    void removeSelection(int index) override {
        if (index == 0) View()->Select(View()->Caret(), View()->Caret());
    }
    void setSelection(int index, int start, int end) override {
        if (index == 0) View()->Select(Offset(start), Offset(end));
    }
    int cursorPosition() const override { return Clamp(View()->Caret()); }
    void setCursorPosition(int position) override { View()->Select(Offset(position), Offset(position)); }
    QString text(int start, int end) const override {
        const size_t from = Offset(start), to = Offset(end);
        return from < to ? AccessibleText(Store(), from, to) : QString();
    }
    int characterCount() const override { return Clamp(Store().Size()); }
    QRect characterRect(int offset) const override {
        const QRect box = View()->PositionRect(Offset(offset));
        return QRect(View()->viewport()->mapToGlobal(box.topLeft()), box.size());
    }
    int offsetAtPoint(const QPoint& point) const override {
        const QPoint local = View()->viewport()->mapFromGlobal(point);
        if (!View()->viewport()->rect().contains(local)) return -1;
        return Clamp(View()->OffsetAt(local));
    }
    void scrollToSubstring(int start, int) override { View()->EnsureShown(Offset(start)); }
    QString attributes(int offset, int* start, int* end) const override {
        *start = 0;
        *end = characterCount();
        (void)offset;
        return QString();
    }
    QString textAtOffset(int offset, QAccessible::TextBoundaryType type, int* start, int* end) const override {
        return Piece(Bounds(Offset(offset), type), start, end);
    }
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType type, int* start, int* end) const override {
        const auto here = Bounds(Offset(offset), type);
        if (here.first == 0) return Piece({0, 0}, start, end);
        return Piece(Bounds(here.first - 1, type), start, end);
    }
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType type, int* start, int* end) const override {
        const auto here = Bounds(Offset(offset), type);
        if (here.second >= Store().Size()) return Piece({Store().Size(), Store().Size()}, start, end);
        return Piece(Bounds(here.second, type), start, end);
    }

private:
    LogView* View() const { return static_cast<LogView*>(widget()); }
    const LogStore& Store() const { return View()->Store(); }
    size_t Offset(int offset) const { return std::min(static_cast<size_t>(std::max(0, offset)), Store().Size()); }

    QString Piece(std::pair<size_t, size_t> bounds, int* start, int* end) const {
        *start = Clamp(bounds.first);
        *end = Clamp(bounds.second);
        return bounds.first < bounds.second ? AccessibleText(Store(), bounds.first, bounds.second) : QString();
    }

    // The piece of text of the given kind that holds the byte at `offset`.
    std::pair<size_t, size_t> Bounds(size_t offset, QAccessible::TextBoundaryType type) const {
        const LogStore& store = Store();
        const size_t size = store.Size();
        switch (type) {
            case QAccessible::CharBoundary:
                return {offset, std::min(offset + 1, size)};
            case QAccessible::WordBoundary: {
                if (offset >= size) return {size, size};
                const int kind = Kind(store.At(offset));
                if (kind == 0 || kind == 3) return {offset, offset + 1};
                size_t from = offset, to = offset + 1;
                while (from > 0 && Kind(store.At(from - 1)) == kind) --from;
                while (to < size && Kind(store.At(to)) == kind) ++to;
                return {from, to};
            }
            case QAccessible::SentenceBoundary:
            case QAccessible::ParagraphBoundary:
            case QAccessible::LineBoundary: {
                const size_t line = store.LineOf(offset);
                const size_t to = line + 1 < store.LineCount() ? store.LineStart(line + 1) : size;
                return {store.LineStart(line), to};
            }
            case QAccessible::NoBoundary:
                return {0, size};
        }
        return {offset, offset};
    }
};

QAccessibleInterface* LogFactory(const QString& class_name, QObject* object) {
    if (object != nullptr && object->isWidgetType() && class_name == QLatin1String("varnel_qt::LogView"))
        return new LogAccessible(static_cast<LogView*>(object));
    return nullptr;
}

}  // namespace

void InstallLogAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(LogFactory);
        return true;
    }();
    (void)installed;
}

QString AccessibleText(const LogStore& store, size_t from, size_t to) {
    QString text(static_cast<qsizetype>(to - from), Qt::Uninitialized);
    QChar* out = text.data();
    for (size_t i = from; i < to; ++i) {
        const char c = store.At(i);
        *out++ = c == '\0' ? QChar(' ') : QChar(static_cast<unsigned char>(c));
    }
    return text;
}

}  // namespace varnel_qt
