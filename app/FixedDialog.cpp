#include "app/FixedDialog.h"

#include <xcb/xcb.h>

#include <QEvent>
#include <QGuiApplication>
#include <QWidget>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string>

namespace app {

namespace {

xcb_atom_t atomNamed(xcb_connection_t* c, const char* name) {
    xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    xcb_atom_t atom = XCB_ATOM_NONE;
    if (r) atom = r->atom;
    std::free(r);
    return atom;
}

// A property of a window, as bytes ("" when it has none).
std::string property(xcb_connection_t* c, xcb_window_t w, xcb_atom_t name, xcb_atom_t type) {
    xcb_get_property_reply_t* r =
        xcb_get_property_reply(c, xcb_get_property(c, 0, w, name, type, 0, 256), nullptr);
    std::string value;
    if (r) {
        const auto* bytes = static_cast<const char*>(xcb_get_property_value(r));
        value.assign(bytes, static_cast<std::size_t>(xcb_get_property_value_length(r)));
    }
    std::free(r);
    return value;
}

// The running window manager's name, as it gives it (EWMH).
std::string windowManager(xcb_connection_t* c, xcb_window_t root) {
    const std::string check =
        property(c, root, atomNamed(c, "_NET_SUPPORTING_WM_CHECK"), XCB_ATOM_WINDOW);
    if (check.size() != sizeof(xcb_window_t)) return "";
    xcb_window_t wm = 0;
    std::memcpy(&wm, check.data(), sizeof wm);
    return property(c, wm, atomNamed(c, "_NET_WM_NAME"), atomNamed(c, "UTF8_STRING"));
}

// Types the window when its native window is made, before it is mapped
// (the window manager reads the type when it takes the window on).
class TypedOnCreation : public QObject {
  public:
    TypedOnCreation(QWidget& window, xcb_connection_t* c, std::array<xcb_atom_t, 2> types)
        : QObject(&window), window_(window), c_(c), types_(types) {
        window.installEventFilter(this);
        if (window.testAttribute(Qt::WA_WState_Created)) type();
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* e) override {
        if (watched == &window_ && e->type() == QEvent::WinIdChange) type();
        return false;
    }

  private:
    void type() {
        const auto id = static_cast<xcb_window_t>(window_.internalWinId());
        if (id == 0) return;
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, id, atomNamed(c_, "_NET_WM_WINDOW_TYPE"),
                            XCB_ATOM_ATOM, 32, static_cast<uint32_t>(types_.size()), types_.data());
        xcb_flush(c_);
    }
    QWidget& window_;
    xcb_connection_t* c_;
    std::array<xcb_atom_t, 2> types_;
};

}  // namespace

void makeFixedDialog(QWidget& window) {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection()) return;
    xcb_connection_t* c = x11->connection();
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    if (!screen || windowManager(c, screen->root) != "Openbox") return;
    const bool dialog = window.windowType() == Qt::Dialog;
    new TypedOnCreation(
        window, c,
        {atomNamed(c, "_NET_WM_WINDOW_TYPE_TOOLBAR"),
         atomNamed(c, dialog ? "_NET_WM_WINDOW_TYPE_DIALOG" : "_NET_WM_WINDOW_TYPE_NORMAL")});
}

}  // namespace app
