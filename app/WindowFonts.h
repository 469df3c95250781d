// The window's fonts. The design asks for Tahoma; Wine's free,
// metric-compatible Tahoma is loaded when installed, so the captions take
// the room the layout gives them. Without it the desktop's font family is
// used, at the largest size up to the design's at which every caption fits
// its control. Sizes are in pixels, as the layout is.
#pragma once

#include <QFont>
#include <QSize>
#include <QString>
#include <vector>

namespace app {

// Where Debian's fonts-wine keeps them.
inline constexpr const char* kWineFontFolder = "/usr/share/wine/fonts";

// Adds tahoma.ttf from the folder to the application's fonts, once; true
// when the Tahoma family is then available. Bold captions are drawn from it
// in synthesised bold: the tahomabd.ttf beside it has Tahoma Bold's widths
// but draws its letters no heavier than the regular face, so a caption set
// in it does not read as bold.
bool loadTahoma(const QString& folder = kWineFontFolder);

// "Tahoma" when it could be loaded, else the desktop's font family.
QString windowFontFamily();

// A font of the family at a pixel size, bold or not.
QFont pixelFont(const QString& family, int pixels, bool bold);

// A caption and the control that shows it.
struct Caption {
    QString text;
    QSize room;
};

// A caption fits when it leaves kCaptionMargin pixels free on either side
// inside the control's one-pixel border and its ink stays inside the border.
inline constexpr int kCaptionMargin = 4;
bool captionFits(const QFont& font, const Caption& caption);

// The design font, or the largest smaller size of it at which every caption
// fits (8 pixels at the least).
QFont largestFitting(const QFont& design, const std::vector<Caption>& captions);

}  // namespace app
