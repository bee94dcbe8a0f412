// A script with placeholders, read once and filled in for each inventory row.
//
// Placeholders count only in the words of a HOST (or SSH) line and inside the
// quoted text of any other line (between its first and its last quote;
// comment lines have none). There, %name% stands for the row's value in
// column name (ASCII case ignored), %env:NAME% for the environment variable
// NAME, and %% for one %. Everywhere else a % is an ordinary character.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "fleet/inventory.h"

namespace fleet {

class ScriptTemplate {
public:
    // Reads the script against the inventory's columns; environment values
    // are taken now. False with an error naming the script line when a
    // placeholder names no column or no variable, or a % has no closing %.
    bool Compile(std::string_view script, const Inventory& inventory, std::string& error);

    // False with an error when a value this script puts in holds CR or LF
    // (it would split a script line in two); environment values are checked
    // by Compile, the row's here. rowLine is the row's inventory line.
    bool CheckRow(const std::vector<std::string>& row, int rowLine, std::string& error) const;

    // The script for one row (values inserted as they are).
    std::string Expand(const std::vector<std::string>& row) const;

private:
    struct Piece {
        std::string text;   // literal text, or the environment value
        int column = -1;    // >= 0: the row's value of this column instead
    };
    void AddText(std::string_view text);
    bool AddRegion(std::string_view region, int line, const Inventory& inventory, std::string& error);

    std::vector<Piece> pieces_;
    struct Use {
        int column;
        std::string name;   // as the header writes it
        int line;           // the script line
    };
    std::vector<Use> usedColumns_;
};

}  // namespace fleet
