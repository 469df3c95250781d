// Draws the application icon (a database drum being pressed down by an
// arrow) and writes it as one Windows icon file with 16, 24, 32 and 48 pixel
// images, 256 colours each with a 1-bit transparency mask, and as PNG files
// at those sizes and at 64, 128 and 256 pixels for the desktop's icon theme.
//
// Usage: make_icon OUT.ico OUT_DIR   (writes OUT_DIR/qw-maintenance-N.png)
// Built without Qt (for the Windows build, QW_ICON_PNG undefined), it
// writes the icon file alone: make_icon OUT.ico
#ifdef QW_ICON_PNG
#include <QImage>
#endif
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Rgb {
    uint8_t r, g, b;
};

// 6×6×6 colour cube, then a grey ramp: 216 + 40 = 256 entries.
std::array<Rgb, 256> palette() {
    std::array<Rgb, 256> p{};
    int i = 0;
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b)
                p[static_cast<std::size_t>(i++)] = {static_cast<uint8_t>(r * 51),
                                                    static_cast<uint8_t>(g * 51),
                                                    static_cast<uint8_t>(b * 51)};
    for (int k = 0; i < 256; ++i, ++k) {
        auto v = static_cast<uint8_t>(6 + k * 6);
        p[static_cast<std::size_t>(i)] = {v, v, v};
    }
    return p;
}

uint8_t nearest(const std::array<Rgb, 256>& pal, Rgb c) {
    int best = 0;
    long bestD = -1;
    for (int i = 0; i < 256; ++i) {
        long dr = pal[static_cast<std::size_t>(i)].r - c.r,
             dg = pal[static_cast<std::size_t>(i)].g - c.g,
             db = pal[static_cast<std::size_t>(i)].b - c.b;
        long d = dr * dr * 3 + dg * dg * 4 + db * db * 2;
        if (bestD < 0 || d < bestD) {
            bestD = d;
            best = i;
        }
    }
    return static_cast<uint8_t>(best);
}

struct Image {
    int size;
    std::vector<uint8_t> index;  // palette index per pixel, top row first
    std::vector<bool> opaque;
};

Rgb mix(Rgb a, Rgb b, double t) {
    auto m = [&](uint8_t x, uint8_t y) {
        return static_cast<uint8_t>(std::lround(x + (y - x) * t));
    };
    return {m(a.r, b.r), m(a.g, b.g), m(a.b, b.b)};
}

Image draw(int s, const std::array<Rgb, 256>& pal) {
    Image img{s, std::vector<uint8_t>(static_cast<std::size_t>(s * s)),
              std::vector<bool>(static_cast<std::size_t>(s * s))};
    const double left = 0.12 * s, right = 0.72 * s, cx = (left + right) / 2,
                 rx = (right - left) / 2;
    const double ry = 0.11 * s, top = 0.24 * s, bottom = 0.84 * s;
    const Rgb outline{16, 40, 96}, bodyLight{96, 160, 232}, bodyDark{24, 72, 160},
        lid{168, 208, 248};
    const Rgb band{40, 96, 184}, arrow{40, 170, 60}, arrowEdge{10, 80, 20};
    for (int y = 0; y < s; ++y) {
        for (int x = 0; x < s; ++x) {
            const double px = x + 0.5, py = y + 0.5;
            const double ex = (px - cx) / rx;
            bool inside = false;
            Rgb c{};
            auto inEllipse = [&](double cy) {
                return ex * ex + ((py - cy) / ry) * ((py - cy) / ry) <= 1.0;
            };
            if (std::fabs(ex) <= 1.0 &&
                (inEllipse(top) || inEllipse(bottom) || (py >= top && py <= bottom))) {
                inside = true;
                c = mix(bodyLight, bodyDark, (ex + 1) / 2);
                for (double b : {0.47, 0.66}) {
                    double by =
                        top + (bottom - top) * b + ry * std::sqrt(std::max(0.0, 1 - ex * ex));
                    if (std::fabs(py - by) < std::max(0.6, s / 40.0)) c = band;
                }
                if (inEllipse(top)) c = lid;
                const double edge = std::max(1.0, s / 24.0) / rx;
                double e2 = ex * ex + ((py - top) / ry) * ((py - top) / ry);
                bool rim = std::fabs(ex) > 1.0 - edge ||
                           (std::fabs(std::sqrt(e2) - 1.0) < edge * 1.2 && inEllipse(top)) ||
                           (py > bottom && !inEllipse(bottom - std::max(1.0, s / 24.0)));
                if (rim) c = outline;
            }
            // A downward arrow at the right: the database being made smaller.
            const double ax = 0.80 * s, shaftW = 0.07 * s, headW = 0.17 * s;
            const double aTop = 0.18 * s, headTop = 0.55 * s, aBottom = 0.86 * s;
            bool shaft = py >= aTop && py < headTop && std::fabs(px - ax) <= shaftW;
            double hw = headW * (aBottom - py) / (aBottom - headTop);
            bool head = py >= headTop && py <= aBottom && std::fabs(px - ax) <= hw;
            if (shaft || head) {
                inside = true;
                bool edge = (shaft && std::fabs(px - ax) > shaftW - 1.0) ||
                            (head && std::fabs(px - ax) > hw - 1.0) || (shaft && py < aTop + 1.0) ||
                            (head && py < headTop + 1.0 && std::fabs(px - ax) > shaftW);
                c = edge ? arrowEdge : arrow;
            }
            std::size_t i = static_cast<std::size_t>(y * s + x);
            img.opaque[i] = inside;
            img.index[i] = inside ? nearest(pal, c) : 0;
        }
    }
    return img;
}

void le16(std::vector<uint8_t>& o, uint32_t v) {
    o.push_back(static_cast<uint8_t>(v));
    o.push_back(static_cast<uint8_t>(v >> 8));
}
void le32(std::vector<uint8_t>& o, uint32_t v) {
    le16(o, v & 0xFFFF);
    le16(o, v >> 16);
}

// One icon image: BITMAPINFOHEADER (height doubled), palette, XOR bits
// bottom-up with rows padded to 4 bytes, AND mask likewise.
std::vector<uint8_t> dib(const Image& img, const std::array<Rgb, 256>& pal) {
    const int s = img.size;
    std::vector<uint8_t> o;
    le32(o, 40);
    le32(o, static_cast<uint32_t>(s));
    le32(o, static_cast<uint32_t>(2 * s));
    le16(o, 1);
    le16(o, 8);
    le32(o, 0);
    const uint32_t xorRow = static_cast<uint32_t>((s + 3) / 4 * 4),
                   andRow = static_cast<uint32_t>((s + 31) / 32 * 4);
    le32(o, (xorRow + andRow) * static_cast<uint32_t>(s));
    le32(o, 0);
    le32(o, 0);
    le32(o, 256);
    le32(o, 0);
    for (const Rgb& c : pal) {
        o.push_back(c.b);
        o.push_back(c.g);
        o.push_back(c.r);
        o.push_back(0);
    }
    for (int y = s - 1; y >= 0; --y) {
        for (uint32_t x = 0; x < xorRow; ++x)
            o.push_back(
                x < static_cast<uint32_t>(s) ? img.index[static_cast<std::size_t>(y * s) + x] : 0);
    }
    for (int y = s - 1; y >= 0; --y) {
        std::vector<uint8_t> row(andRow, 0);
        for (int x = 0; x < s; ++x) {
            if (!img.opaque[static_cast<std::size_t>(y * s + x)])
                row[static_cast<std::size_t>(x / 8)] |= static_cast<uint8_t>(0x80 >> (x % 8));
        }
        o.insert(o.end(), row.begin(), row.end());
    }
    return o;
}

#ifdef QW_ICON_PNG
// A palette PNG: the icon's 256 colours, with index 255 (a grey nothing
// draws with) standing for transparent pixels.
bool savePng(const std::string& path, const Image& img, const std::array<Rgb, 256>& pal) {
    const int s = img.size;
    QImage png(s, s, QImage::Format_Indexed8);
    QList<QRgb> colours;
    for (const Rgb& c : pal) colours.push_back(qRgb(c.r, c.g, c.b));
    colours[255] = qRgba(0, 0, 0, 0);
    png.setColorTable(colours);
    for (int y = 0; y < s; ++y) {
        uchar* row = png.scanLine(y);
        for (int x = 0; x < s; ++x) {
            const std::size_t i = static_cast<std::size_t>(y * s + x);
            row[x] = img.opaque[i] ? img.index[i] : 255;
        }
    }
    return png.save(QString::fromStdString(path), "PNG");
}
#endif

bool save(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef QW_ICON_PNG
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_icon OUT.ico OUT_DIR\n");
        return 2;
    }
#else
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_icon OUT.ico\n");
        return 2;
    }
#endif
    const auto pal = palette();
    const int sizes[] = {16, 24, 32, 48};
    std::vector<std::vector<uint8_t>> images;
    for (int s : sizes) images.push_back(dib(draw(s, pal), pal));
#ifdef QW_ICON_PNG
    // The desktop's icon theme also takes the larger sizes.
    for (int s : {16, 24, 32, 48, 64, 128, 256}) {
        if (!savePng(std::string(argv[2]) + "/qw-maintenance-" + std::to_string(s) + ".png",
                     draw(s, pal), pal))
            return 1;
    }
#endif
    std::vector<uint8_t> ico;
    le16(ico, 0);
    le16(ico, 1);
    le16(ico, 4);
    uint32_t offset = 6 + 16 * 4;
    for (std::size_t i = 0; i < 4; ++i) {
        ico.push_back(static_cast<uint8_t>(sizes[i]));
        ico.push_back(static_cast<uint8_t>(sizes[i]));
        ico.push_back(0);  // 256 colours
        ico.push_back(0);
        le16(ico, 1);
        le16(ico, 8);
        le32(ico, static_cast<uint32_t>(images[i].size()));
        le32(ico, offset);
        offset += static_cast<uint32_t>(images[i].size());
    }
    for (const auto& img : images) ico.insert(ico.end(), img.begin(), img.end());
    return save(argv[1], ico) ? 0 : 1;
}
