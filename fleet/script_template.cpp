#include "fleet/script_template.h"

#include <cstdlib>

namespace fleet {

namespace {

std::string UpperFirstWord(std::string_view line) {
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos) return std::string();
    size_t end = line.find_first_of(" \t", start);
    std::string word(line.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    for (char& c : word) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return word;
}

}  // namespace

void ScriptTemplate::AddText(std::string_view text) {
    if (text.empty()) return;
    if (pieces_.empty() || pieces_.back().column >= 0) pieces_.push_back(Piece());
    pieces_.back().text += text;
}

bool ScriptTemplate::AddRegion(std::string_view region, int line, const Inventory& inventory, std::string& error) {
    const std::string where = "script line " + std::to_string(line) + ": ";
    size_t pos = 0;
    while (pos < region.size()) {
        size_t open = region.find('%', pos);
        if (open == std::string_view::npos) {
            AddText(region.substr(pos));
            break;
        }
        AddText(region.substr(pos, open - pos));
        size_t close = region.find('%', open + 1);
        if (close == std::string_view::npos) {
            error = where + "a % without its closing % (write %% for a percent sign)";
            return false;
        }
        std::string_view name = region.substr(open + 1, close - open - 1);
        pos = close + 1;
        if (name.empty()) {
            AddText("%");
        } else if (name.substr(0, 4) == "env:") {
            const std::string variable(name.substr(4));
            const char* value = variable.empty() ? nullptr : std::getenv(variable.c_str());
            if (value == nullptr) {
                error = where + "%" + std::string(name) + "% names no environment variable";
                return false;
            }
            if (std::string_view(value).find_first_of("\r\n") != std::string_view::npos) {
                error = where + "the environment variable " + variable + " holds a line break";
                return false;
            }
            AddText(value);
        } else {
            int column = inventory.ColumnIndex(name);
            if (column < 0) {
                error = where + "%" + std::string(name) + "% names no column of the inventory";
                return false;
            }
            Piece piece;
            piece.column = column;
            pieces_.push_back(piece);
            usedColumns_.push_back({column, inventory.columns[column], line});
        }
    }
    return true;
}

bool ScriptTemplate::Compile(std::string_view script, const Inventory& inventory, std::string& error) {
    pieces_.clear();
    usedColumns_.clear();
    size_t start = 0;
    for (int line = 1; start < script.size(); ++line) {
        size_t lf = script.find('\n', start);
        size_t next = (lf == std::string_view::npos) ? script.size() : lf + 1;
        std::string_view text = script.substr(start, next - start);   // with its line break
        const std::string command = UpperFirstWord(text);
        if (command == "HOST" || command == "SSH") {
            if (!AddRegion(text, line, inventory, error)) return false;
        } else {
            size_t first = text.find('"');
            size_t last = text.rfind('"');
            if (command == "#" || first == std::string_view::npos || first == last) {
                AddText(text);
            } else {
                AddText(text.substr(0, first + 1));
                if (!AddRegion(text.substr(first + 1, last - first - 1), line, inventory, error)) return false;
                AddText(text.substr(last));
            }
        }
        start = next;
    }
    return true;
}

bool ScriptTemplate::CheckRow(const std::vector<std::string>& row, int rowLine, std::string& error) const {
    for (const Use& use : usedColumns_) {
        if (row[use.column].find_first_of("\r\n") != std::string::npos) {
            error = "inventory line " + std::to_string(rowLine) + ": the " + use.name + " value holds a line break (script line " +
                    std::to_string(use.line) + " puts it in)";
            return false;
        }
    }
    return true;
}

std::string ScriptTemplate::Expand(const std::vector<std::string>& row) const {
    std::string out;
    for (const Piece& piece : pieces_) out += piece.column >= 0 ? row[piece.column] : piece.text;
    return out;
}

}  // namespace fleet
