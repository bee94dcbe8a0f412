// The inventory of a fleet run: a CSV file (RFC 4180) with a header row that
// names the columns. A "host" column is required; any others are free.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace fleet {

struct Inventory {
    std::vector<std::string> columns;            // the header row, in order
    std::vector<std::vector<std::string>> rows;  // one entry per record, as many fields as columns
    std::vector<int> rowLines;                   // the line on which each record starts (from 1)

    // The column whose name equals name, ignoring ASCII case; -1 if there is none.
    int ColumnIndex(std::string_view name) const;
};

// Reads CSV text: fields separated by commas, records by CRLF or LF; a field
// in double quotes may hold commas, line breaks and doubled quotes. A UTF-8
// byte order mark at the start is skipped, and so are empty lines. Refuses,
// with false and an error that names the line: a quote inside an unquoted
// field, text after a closing quote, a quote that is never closed, a record
// whose number of fields differs from the header's, two columns of one name,
// no header, no "host" column, an empty host, no records at all.
bool ParseInventory(std::string_view text, Inventory& out, std::string& error);

// One field written for a CSV file: in quotes (inner quotes doubled) when it
// holds a comma, a quote, CR or LF; as it is otherwise.
std::string CsvField(std::string_view value);

}  // namespace fleet
