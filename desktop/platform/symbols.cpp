#include "platform/symbols.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>
#include <QStringList>

#include <array>
#include <cstdlib>
#include <utility>

namespace tessaron::desktop::symbols {

namespace {

// SF Symbol name → Material Design Icons (font 1.6.50) code point, the nearest drawing of each.
constexpr std::array<std::pair<std::string_view, char32_t>, 28> kTable{{
    {"arrow.clockwise", 0xF450},         // refresh
    {"arrow.down.app", 0xF1DA},          // download
    {"arrow.down.circle", 0xF048},       // arrow-down-bold-circle-outline
    {"arrow.right", 0xF054},             // arrow-right
    {"arrow.up.right", 0xF05C},          // arrow-top-right
    {"bolt.fill", 0xF241},               // flash
    {"checkmark", 0xF12C},               // check
    {"checkmark.circle.fill", 0xF133},   // checkbox-marked-circle
    {"circle.dotted", 0xF130},           // checkbox-blank-circle-outline
    {"cpu", 0xF61A},                     // chip
    {"doc.on.doc", 0xF18F},              // content-copy
    {"exclamationmark.circle", 0xF5D6},  // alert-circle-outline
    {"laptopcomputer", 0xF322},          // laptop
    {"link", 0xF337},                    // link
    {"macwindow", 0xF614},               // application
    {"memorychip", 0xF35B},              // memory
    {"network", 0xF59F},                 // web
    {"pause.circle", 0xF3E6},            // pause-circle-outline
    {"pause.circle.fill", 0xF3E5},       // pause-circle
    {"person.crop.circle", 0xF009},      // account-circle
    {"play.circle", 0xF40D},             // play-circle-outline
    {"power", 0xF425},                   // power
    {"powerplug", 0xF427},               // power-socket
    {"server.rack", 0xF48B},             // server
    {"slider.horizontal.3", 0xF62E},     // tune
    {"sparkles", 0xF068},                // auto-fix
    {"terminal", 0xF18D},                // console
    {"xmark", 0xF156},                   // close
}};

constexpr const char* kFontFile =
    "/usr/share/fonts/truetype/materialdesignicons-webfont/materialdesignicons-webfont.ttf";

// The family registered from the font file, once per process; empty when it could not be loaded.
const QString& family() {
    static const QString loaded = [] {
        const char* override = std::getenv("TESSARON_SYMBOL_FONT");
        const int id = QFontDatabase::addApplicationFont(QString::fromLocal8Bit(override ? override : kFontFile));
        const QStringList families = id < 0 ? QStringList{} : QFontDatabase::applicationFontFamilies(id);
        return families.isEmpty() ? QString{} : families.front();
    }();
    return loaded;
}

}  // namespace

char32_t codePoint(std::string_view symbolName) {
    if (symbolName.empty()) return 0;
    for (const auto& [name, point] : kTable) {
        if (name == symbolName) return point;
    }
    return 0;
}

QString text(std::string_view symbolName) {
    const char32_t point = codePoint(symbolName);
    return point == 0 ? QString{} : QString::fromUcs4(&point, 1);
}

bool available() { return !family().isEmpty(); }

QFont font(qreal pointSize, QFont::Weight weight) {
    QFont result = available() ? QFont(family()) : QFont();
    result.setPointSizeF(pointSize);
    result.setWeight(weight);
    return result;
}

QIcon icon(std::string_view symbolName, int pixelSize, const QColor& colour) {
    const QString glyph = text(symbolName);
    if (glyph.isEmpty() || !available() || pixelSize <= 0) return {};
    const qreal scale = qApp ? qGuiApp->devicePixelRatio() : 1.0;
    QPixmap pixmap(QSize(pixelSize, pixelSize) * scale);
    pixmap.setDevicePixelRatio(scale);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    QFont glyphFont(family());
    glyphFont.setPixelSize(pixelSize);
    painter.setFont(glyphFont);
    painter.setPen(colour);
    painter.drawText(QRect(0, 0, pixelSize, pixelSize), Qt::AlignCenter, glyph);
    painter.end();
    return QIcon(pixmap);
}

}  // namespace tessaron::desktop::symbols
