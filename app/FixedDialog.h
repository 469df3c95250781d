// The design's fixed dialog frame for a top-level window: a title bar with
// its close box, no minimise or maximise box, not resizable.
#pragma once

class QWidget;

namespace app {

// For a window whose flags and fixed size already ask for a fixed dialog
// (Qt passes them to the window manager as Motif hints, which most window
// managers follow): Openbox lets no Motif hint take the minimise box away,
// so there the window is typed a toolbar first, the one kind of window
// Openbox gives neither box (its own type after it). Call before the
// window is first shown.
void makeFixedDialog(QWidget& window);

}  // namespace app
