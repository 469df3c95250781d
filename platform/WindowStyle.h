// Window styles as SetWindowLongA replaces them, reduced to what they mean
// for a button here: flat, shown, in the tab order.
#pragma once

#include <cstdint>

namespace platform {

inline constexpr int GWL_STYLE = -16;
inline constexpr uint32_t WS_CHILD = 0x40000000;
inline constexpr uint32_t WS_VISIBLE = 0x10000000;
inline constexpr uint32_t WS_TABSTOP = 0x00010000;
inline constexpr uint32_t BS_FLAT = 0x00008000;
// The flat-button style the window gives its buttons: WS_CHILD | BS_FLAT only.
inline constexpr uint32_t kFlatButtonStyle = 0x40008000;

struct StyleEffect {
    bool flat = false;
    bool visible = false;
    bool tabStop = false;
};

inline StyleEffect decodeButtonStyle(uint32_t style) {
    return {(style & BS_FLAT) != 0, (style & WS_VISIBLE) != 0, (style & WS_TABSTOP) != 0};
}

// A control's window handle as the form engine hands it out.
using WindowHandle = uintptr_t;

class WindowStyleApi {
  public:
    virtual ~WindowStyleApi() = default;
    // Replaces the style of the window; returns the old style, 0 on failure.
    virtual int32_t SetWindowLongA(WindowHandle hWnd, int index, int32_t newLong) = 0;
};

// A command button as the form engine exposes it.
class CommandButton {
  public:
    virtual ~CommandButton() = default;
    virtual WindowHandle hWnd() = 0;
    virtual void setVisible(bool visible) = 0;
    virtual void setTabStop(bool tabStop) = 0;
};

// What the window's cButt does, in its order: the button's whole style
// replaced by the flat one, which is neither visible nor a tab stop, then
// both given back through the button's own properties.
inline void makeFlat(WindowStyleApi& api, CommandButton& button) {
    const WindowHandle h = button.hWnd();
    api.SetWindowLongA(h, GWL_STYLE, static_cast<int32_t>(kFlatButtonStyle));
    button.setVisible(true);
    button.setTabStop(true);
}

}  // namespace platform
