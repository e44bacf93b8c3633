#pragma once
// Decodes a byte stream that arrives in pieces as UTF-8: a character split across two pieces
// is decoded whole once its last byte arrives, and invalid bytes become U+FFFD.

#include <QByteArray>
#include <QString>

namespace tessaron::desktop {

class Utf8Stream {
public:
    // The text of `bytes` and of the bytes held back from earlier pieces, up to the last
    // complete character; an incomplete character at the end is held back.
    QString decode(const QByteArray& bytes);
    // Whatever is still held back (an incomplete character: U+FFFD), and the stream starts afresh.
    QString finish();

private:
    QByteArray pending_;
};

}  // namespace tessaron::desktop
