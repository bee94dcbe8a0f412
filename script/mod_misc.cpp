#include "script/mod_misc.h"

namespace modMisc {

namespace {
ITextBox* g_debugBox = nullptr;
}

void SetDebugBox(ITextBox* box) { g_debugBox = box; }

ITextBox* DebugBox() { return g_debugBox; }

}  // namespace modMisc
