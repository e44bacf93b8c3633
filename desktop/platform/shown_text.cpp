#include "platform/shown_text.h"

#include <QList>
#include <QTextBoundaryFinder>

namespace tessaron::desktop {
namespace {

bool needsEscape(char32_t c, LineBreaks lineBreaks) {
    if (c == U'\n') return lineBreaks == LineBreaks::escaped;
    return c < 0x20 || (c >= 0x7F && c <= 0x9F)                 // C0, DEL and C1 controls
           || c == 0x061C || c == 0x200E || c == 0x200F         // bidirectional marks
           || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069)  // embeddings, overrides, isolates
           || c == 0x2028 || c == 0x2029;                       // line and paragraph separators
}

void appendEscaped(QString& out, char32_t c) {
    switch (c) {
    case U'\n': out += QLatin1String("\\n"); return;
    case U'\r': out += QLatin1String("\\r"); return;
    case U'\t': out += QLatin1String("\\t"); return;
    default: out += QStringLiteral("\\u{%1}").arg(QString::number(static_cast<uint>(c), 16).toUpper().rightJustified(4, u'0'));
    }
}

}  // namespace

QString shownText(QStringView text, qsizetype limit, LineBreaks lineBreaks, CutMark mark) {
    QString out;
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text.data(), text.size());
    qsizetype start = 0, count = 0;
    for (qsizetype end = graphemes.toNextBoundary(); end > start; start = end, end = graphemes.toNextBoundary()) {
        if (count >= limit) {
            if (mark == CutMark::ellipsis) out += QChar(0x2026);
            return out;
        }
        ++count;
        const QStringView cluster = text.sliced(start, end - start);
        bool plain = true;
        for (char32_t c : cluster.toUcs4()) plain = plain && !needsEscape(c, lineBreaks);
        if (plain) {
            out += cluster;
            continue;
        }
        // An escape counts as the characters it shows, so escapes cannot make a long text.
        const qsizetype before = out.size();
        for (char32_t c : cluster.toUcs4()) {
            if (needsEscape(c, lineBreaks)) appendEscaped(out, c);
            else out += QString::fromUcs4(&c, 1);
        }
        count += out.size() - before - 1;
    }
    return out;
}

QString shownText(std::string_view utf8, qsizetype limit, LineBreaks lineBreaks, CutMark mark) {
    // No cluster of a text worth reading is longer than 64 bytes, so the rest is never decoded.
    const std::size_t decoded = static_cast<std::size_t>(limit) >= utf8.size() / 64
                                    ? utf8.size()
                                    : static_cast<std::size_t>(limit + 1) * 64;
    const QString text = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(decoded));
    QString shown = shownText(QStringView(text), limit, lineBreaks, mark);
    if (utf8.size() > decoded && mark == CutMark::ellipsis && !shown.endsWith(QChar(0x2026))) shown += QChar(0x2026);
    return shown;
}

}  // namespace tessaron::desktop
