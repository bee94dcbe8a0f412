// frmMain on Win32: the program's one window, a top-level window with
// STATIC, BUTTON and EDIT controls at the form's twips places (form_places.h)
// for the screen's DPI. The upper region holds the logo, the read-me button
// and the session log; the debug region below holds the debug box, the switch
// to the socket debug log and the three buttons. The window opens collapsed
// (the program sets the height at load); a right click on the read-me button
// expands or collapses it.
//
// Tab order is the creation order (the session log, the read-me button, the
// debug box, the label, the three buttons, the socket log, the check box); the
// message loop hands keyboard messages to the dialog manager, which moves the
// focus with Tab and clicks a button by its access key. Controls that lie
// wholly outside the client area (the debug region of the collapsed window)
// are disabled, so neither Tab nor an access key reaches them.
//
// The handlers that only change the window itself live here; the others go to
// the program through IFormEvents.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>

#include "ui/win32/edit_box.h"
#include "ui/win32/form_places.h"

class IFormEvents;

namespace varnel_win {

class WinForm {
public:
    WinForm(IFormEvents* events, int dpi);
    ~WinForm();
    WinForm(const WinForm&) = delete;
    WinForm& operator=(const WinForm&) = delete;

    // Creates the window, hidden; false (error set) when it cannot be made.
    bool Create(std::string* error);
    HWND Handle() const { return window_; }
    int Dpi() const { return dpi_; }

    EditBox& txtDebug() { return *txtDebug_; }
    EditBox& txtInput() { return *txtInput_; }
    EditBox& txtWinsock() { return *txtWinsock_; }

    int HeightTwips() const;
    void SetHeightTwips(int twips);
    void PlaceWinsockOnInput();
    // Closes the window for good (it is hidden; its texts stay readable). The
    // program has run its unload step already; a close by the user runs
    // Form_QueryUnload first.
    void Unload();
    // Called after the window has closed (by the user or by Unload).
    void SetOnClosed(std::function<void()> onClosed) { onClosed_ = std::move(onClosed); }

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK ReadMeProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    void CreateControls();
    HWND AddControl(const wchar_t* kind, const wchar_t* text, DWORD style, int id);
    CaptionNeeds Needs() const;
    PxSize ClientSize() const;
    void ResizeClient(PxSize client);
    void ApplyLayout();
    void OnCommand(int id, int code);
    void Close(bool byProgram);
    void FollowFocus(WPARAM wParam, LPARAM lParam);

    IFormEvents* events_;
    int dpi_;
    HWND window_ = nullptr;
    HWND logo_ = nullptr, readMe_ = nullptr, debugLog_ = nullptr, label_ = nullptr, check_ = nullptr,
         input_ = nullptr, winsock_ = nullptr, comDbg_ = nullptr, scrDbg_ = nullptr, stop_ = nullptr;
    WNDPROC buttonProc_ = nullptr;  // the read-me button's own procedure
    HFONT controlFont_ = nullptr, fixedFont_ = nullptr;
    std::unique_ptr<EditBox> txtDebug_, txtInput_, txtWinsock_;
    HWND focus_ = nullptr;           // the control that had the focus when the window was deactivated
    int heightTwips_ = kExpandedTwips;  // the height last set, in twips
    bool winsockOnInput_ = false;    // set by the load step
    bool unloaded_ = false;
    std::function<void()> onClosed_;
};

}  // namespace varnel_win
