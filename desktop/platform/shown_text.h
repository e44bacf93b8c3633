#pragma once
// Text that comes from outside the program (a child's output, a panel's error, a VM's state)
// made fit to show in a label, a log line or a menu row: shown as written, never interpreted,
// and never of unbounded size.

#include <QString>

#include <limits>
#include <string_view>

namespace tessaron::desktop {

// How many user-visible characters a shown text keeps before it is cut.
inline constexpr qsizetype shownTextLimit = 300;

// A limit that never cuts, for a text whose length its owner bounds.
inline constexpr qsizetype uncut = std::numeric_limits<qsizetype>::max();

enum class LineBreaks { escaped, kept };
// Whether a cut text ends in "…" or simply stops.
enum class CutMark { ellipsis, none };

// `text` with every control character and every bidirectional formatting character written
// out as an escape ("\n", "\t", "\r", or "\u{202E}"), cut after `limit` user-visible
// characters (grapheme clusters, so an accent or a joined emoji is never split) with "…"
// appended unless `mark` is CutMark::none. With LineBreaks::kept a line feed stays a line
// break, for texts shown on several lines. The UTF-8 form replaces invalid bytes with U+FFFD.
QString shownText(QStringView text, qsizetype limit = shownTextLimit, LineBreaks lineBreaks = LineBreaks::escaped,
                  CutMark mark = CutMark::ellipsis);
QString shownText(std::string_view utf8, qsizetype limit = shownTextLimit,
                  LineBreaks lineBreaks = LineBreaks::escaped, CutMark mark = CutMark::ellipsis);

}  // namespace tessaron::desktop
