// The program's top-level window, for the message loop: its keyboard
// messages go through the dialog manager (IsDialogMessage), which moves the
// focus with Tab and clicks controls by their access keys. Every other
// message is translated and dispatched as usual.
#pragma once

namespace win {

// window: the real window handle (HWND); nullptr for none.
void SetDialogWindow(void* window);

}  // namespace win
