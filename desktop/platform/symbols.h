#pragma once
// The desktop's symbols. The window and the menu bar name their icons as on a Mac (SF Symbols:
// "server.rack", "arrow.right", …); this build draws each from the Material Design icon font that
// Debian packages, through the one table in symbols.cpp.
#include <QColor>
#include <QFont>
#include <QIcon>
#include <QString>

#include <string_view>

namespace tessaron::desktop::symbols {

// The font's code point for a symbol name, or 0 for a name the table does not know.
char32_t codePoint(std::string_view symbolName);

// The symbol as one character of text, for a label set in font(); empty for an unknown name.
QString text(std::string_view symbolName);

// The icon font at a point size and weight. Without the font file the family falls back to the
// system font, and text() then shows nothing useful; available() tells.
QFont font(qreal pointSize, QFont::Weight weight = QFont::Normal);
bool available();

// The symbol drawn in a colour on a transparent square of the given size in pixels; a null icon
// for an unknown name or a missing font, so that callers can fall back to a text title.
QIcon icon(std::string_view symbolName, int pixelSize, const QColor& colour);

}  // namespace tessaron::desktop::symbols
