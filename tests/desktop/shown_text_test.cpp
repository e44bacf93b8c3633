// Text from outside is shown as written, bounded, and cut between user-visible characters.

#include "platform/shown_text.h"

#include <gtest/gtest.h>

#include <string>

namespace tessaron::desktop {
namespace {

TEST(ShownText, WritesOutWhatWouldBeInterpretedAndCutsWholeCharacters) {
    struct Case {
        const char* name;
        std::string in;
        qsizetype limit;
        LineBreaks lineBreaks;
        QString expected;
        CutMark mark = CutMark::ellipsis;
    };
    const QString e = QStringLiteral("e\u0301");                     // e and a combining accent
    const QString family = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467");
    const std::vector<Case> cases = {
        {"plain text", "Linux server: Running", 300, LineBreaks::escaped, "Linux server: Running"},
        {"markup stays text", "<b>x</b> & y", 300, LineBreaks::escaped, "<b>x</b> & y"},
        {"controls", "a\tb\nc\rd\x1b[31m\x7f", 300, LineBreaks::escaped, "a\\tb\\nc\\rd\\u{001B}[31m\\u{007F}"},
        {"kept line breaks", "a\nb\tc", 300, LineBreaks::kept, "a\nb\\tc"},
        {"bidirectional override", "abc\u202Egnp.exe", 300, LineBreaks::escaped, "abc\\u{202E}gnp.exe"},
        {"invalid bytes repaired", "bad \xff byte", 300, LineBreaks::escaped, QStringLiteral("bad \uFFFD byte")},
        {"cut with an ellipsis", "abcdef", 3, LineBreaks::escaped, QStringLiteral("abc\u2026")},
        {"exactly at the limit", "abc", 3, LineBreaks::escaped, "abc"},
        {"cut without a mark", "abcdef", 3, LineBreaks::escaped, "abc", CutMark::none},
        {"an accent stays on its letter", (e + e + e).toStdString(), 2, LineBreaks::escaped,
         e + e + QChar(0x2026)},
        {"a joined emoji stays whole", (family + family).toStdString(), 1, LineBreaks::escaped,
         family + QChar(0x2026)},
        {"escapes count as what they show", std::string(10, '\x1b'), 20, LineBreaks::escaped,
         QStringLiteral("\\u{001B}\\u{001B}\\u{001B}\u2026")},
        {"megabytes are never decoded whole", std::string(4 << 20, 'x'), 300, LineBreaks::escaped,
         QString(300, u'x') + QChar(0x2026)},
        {"uncut", std::string(100'000, '\x1b'), uncut, LineBreaks::escaped,
         QStringLiteral("\\u{001B}").repeated(100'000)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(shownText(std::string_view(c.in), c.limit, c.lineBreaks, c.mark), c.expected);
    }
}

}  // namespace
}  // namespace tessaron::desktop
