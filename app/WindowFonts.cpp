#include "app/WindowFonts.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>

namespace app {

namespace {
constexpr int kBorder = 1;
constexpr int kSmallestPixelSize = 8;
}  // namespace

bool loadTahoma(const QString& folder) {
    static bool tried = false;
    if (!tried) {
        tried = true;
        QFontDatabase::addApplicationFont(folder + "/tahoma.ttf");
    }
    return QFontDatabase::families().contains("Tahoma");
}

QString windowFontFamily() {
    return loadTahoma() ? QString("Tahoma") : QApplication::font().family();
}

QFont pixelFont(const QString& family, int pixels, bool bold) {
    QFont f(family);
    f.setPixelSize(pixels);
    f.setWeight(bold ? QFont::Bold : QFont::Normal);
    return f;
}

bool captionFits(const QFont& font, const Caption& caption) {
    const QFontMetrics m(font);
    return m.horizontalAdvance(caption.text) + 2 * (kCaptionMargin + kBorder) <=
               caption.room.width() &&
           m.tightBoundingRect(caption.text).height() <= caption.room.height() - 2 * kBorder;
}

QFont largestFitting(const QFont& design, const std::vector<Caption>& captions) {
    QFont f = design;
    auto fits = [&] {
        for (const Caption& c : captions)
            if (!captionFits(f, c)) return false;
        return true;
    };
    while (f.pixelSize() > kSmallestPixelSize && !fits()) f.setPixelSize(f.pixelSize() - 1);
    return f;
}

}  // namespace app
