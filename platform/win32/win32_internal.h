// Internal glue of the Windows implementation of the platform layer: the
// conversions between the layer's 32-bit handles and the real ones, and the
// hooks the window procedure calls into the socket part. Not for use
// outside platform/win32/.
#pragma once

#include "platform/win32/real_api.h"

#include <cstdint>

#include "platform/message_window.h"

namespace win::w32 {

// Window, socket and task handles fit in 32 bits (Windows keeps them so for
// 32-bit interoperability); the layer's handles are those values, sign-extended back.
inline ::HWND RealWindow(HWND hwnd) { return reinterpret_cast<::HWND>(static_cast<intptr_t>(hwnd)); }
inline HWND LayerWindow(::HWND hwnd) { return static_cast<HWND>(reinterpret_cast<intptr_t>(hwnd)); }
inline ::SOCKET RealSocket(int32_t s) { return static_cast<::SOCKET>(static_cast<uint32_t>(s)); }

// The window that the layer uses for itself (DoEvents markers, descriptor watches).
HWND InternalWindow();
// Message numbers of the internal window (below WM_USER's range of the program's own messages).
constexpr UINT kMarkerMessage = 0x7F01;
constexpr UINT kWatchMessage = 0x7F02;

// Calls the layer's procedure of a window, if the window still exists.
LRESULT CallLayerProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// The socket part's view of a message about to reach a window procedure:
// false when the message is the reply of a cancelled lookup (it is dropped);
// a lookup's reply gets its record written into the caller's buffer first.
bool TakeLookupReply(HWND hwnd, UINT msg, WPARAM wParam, LPARAM* lParam);
// A report of a watched descriptor, sent to the internal window.
void OnWatchReport(WPARAM fd, LPARAM lParam);
// The stop-signal part: a stop message is about to be dispatched.
void OnStopMessage(HWND hwnd, UINT msg);

}  // namespace win::w32
