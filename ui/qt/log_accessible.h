// The log boxes as assistive technology sees them: a read-only, multi-line
// text whose characters are the log's bytes, one character per byte (Latin-1;
// a NUL reads as a space), so an offset is a byte position in the store. The
// interface reads ranges, lines and words from the store and its line index;
// it never copies the whole log (unless asked for the whole text).
//
// Lines (and paragraphs and sentences) are the log's lines, each with its line
// end; words are runs of letters and digits, and the bytes between them.
#pragma once

#include <QString>
#include <cstddef>

namespace varnel_qt {

class LogStore;

// Makes Qt's accessibility ask this module for the interface of a LogView
// (once per program; later calls do nothing).
void InstallLogAccessibility();
// The accessible text of the bytes [from, to).
QString AccessibleText(const LogStore& store, size_t from, size_t to);

}  // namespace varnel_qt
