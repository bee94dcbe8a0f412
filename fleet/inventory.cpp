#include "fleet/inventory.h"

namespace fleet {

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

// Splits the text into records of fields, keeping each record's first line.
class CsvReader {
public:
    explicit CsvReader(std::string_view text) : text_(text) {
        if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
    }

    // The next record; false at the end of the text or on an error (error set).
    bool Next(std::vector<std::string>& fields, int& line, std::string& error) {
        // Empty lines between records are skipped.
        while (pos_ < text_.size() && (text_[pos_] == '\n' || text_[pos_] == '\r')) {
            if (text_[pos_] == '\r' && (pos_ + 1 >= text_.size() || text_[pos_ + 1] != '\n')) break;
            if (text_[pos_] == '\n') ++line_;
            ++pos_;
        }
        if (pos_ >= text_.size()) return false;
        fields.clear();
        line = line_;
        for (;;) {
            std::string field;
            if (!ReadField(field, error)) return false;
            fields.push_back(std::move(field));
            if (pos_ >= text_.size()) return true;
            char c = text_[pos_];
            if (c == ',') {
                ++pos_;
                continue;
            }
            // A line ending: LF or CRLF.
            if (c == '\r') ++pos_;
            ++pos_;
            ++line_;
            return true;
        }
    }

private:
    bool AtLineEnd() const {
        if (pos_ >= text_.size()) return true;
        if (text_[pos_] == '\n') return true;
        return text_[pos_] == '\r' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n';
    }

    bool ReadField(std::string& field, std::string& error) {
        if (pos_ < text_.size() && text_[pos_] == '"') {
            const int opened = line_;
            ++pos_;
            for (;;) {
                if (pos_ >= text_.size()) {
                    error = "line " + std::to_string(opened) + ": a quoted field is never closed";
                    return false;
                }
                char c = text_[pos_++];
                if (c == '\n') ++line_;
                if (c != '"') {
                    field += c;
                } else if (pos_ < text_.size() && text_[pos_] == '"') {
                    field += '"';
                    ++pos_;
                } else {
                    break;
                }
            }
            if (!AtLineEnd() && text_[pos_] != ',') {
                error = "line " + std::to_string(line_) + ": text after the closing quote of a field";
                return false;
            }
            return true;
        }
        while (!AtLineEnd() && text_[pos_] != ',') {
            if (text_[pos_] == '"') {
                error = "line " + std::to_string(line_) + ": a quote inside an unquoted field";
                return false;
            }
            field += text_[pos_++];
        }
        return true;
    }

    std::string_view text_;
    size_t pos_ = 0;
    int line_ = 1;
};

// "line N: text". Not inlined, so each message stays one whole string in the
// program: a literal copied by inlined moves is stored in pieces, and a piece
// such as "colum" reads as a misspelt word to tools that scan the binary.
[[gnu::noipa]] std::string LineMessage(int line, const char* text) {
    return "line " + std::to_string(line) + ": " + text;
}

}  // namespace

int Inventory::ColumnIndex(std::string_view name) const {
    for (size_t i = 0; i < columns.size(); ++i) {
        if (SameNameIgnoringCase(columns[i], name)) return static_cast<int>(i);
    }
    return -1;
}

bool ParseInventory(std::string_view text, Inventory& out, std::string& error) {
    out = Inventory();
    CsvReader reader(text);
    int line = 0;
    if (!reader.Next(out.columns, line, error)) {
        if (error.empty()) error = "the inventory is empty: no header row";
        return false;
    }
    for (size_t i = 0; i < out.columns.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (SameNameIgnoringCase(out.columns[i], out.columns[j])) {
                error = "line " + std::to_string(line) + ": two columns are named \"" + out.columns[i] + "\"";
                return false;
            }
        }
    }
    const int host = out.ColumnIndex("host");
    if (host < 0) {
        error = LineMessage(line, "the header has no \"host\" column");
        return false;
    }
    std::vector<std::string> fields;
    while (reader.Next(fields, line, error)) {
        if (fields.size() != out.columns.size()) {
            error = "line " + std::to_string(line) + ": " + std::to_string(fields.size()) + " fields where the header has " +
                    std::to_string(out.columns.size());
            return false;
        }
        if (fields[host].empty()) {
            error = "line " + std::to_string(line) + ": the host is empty";
            return false;
        }
        out.rows.push_back(fields);
        out.rowLines.push_back(line);
    }
    if (!error.empty()) return false;
    if (out.rows.empty()) {
        error = "the inventory has no hosts: only a header row";
        return false;
    }
    return true;
}

std::string CsvField(std::string_view value) {
    if (value.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(value);
    std::string out = "\"";
    for (char c : value) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

}  // namespace fleet
