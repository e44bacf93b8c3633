#include "model/utf8_stream.h"

namespace tessaron::desktop {
namespace {

// How many bytes a character starting with `lead` takes; 1 for bytes that cannot start one.
qsizetype sequenceLength(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 1;
}

// The length of `bytes` without an incomplete character at its end.
qsizetype completeLength(const QByteArray& bytes) {
    const qsizetype size = bytes.size();
    for (qsizetype back = 1; back <= 3 && back <= size; ++back) {
        const auto byte = static_cast<unsigned char>(bytes[size - back]);
        if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        return sequenceLength(byte) > back ? size - back : size;
    }
    return size;
}

}  // namespace

QString Utf8Stream::decode(const QByteArray& bytes) {
    pending_ += bytes;
    const qsizetype complete = completeLength(pending_);
    const QString text = QString::fromUtf8(pending_.constData(), complete);
    pending_.remove(0, complete);
    return text;
}

QString Utf8Stream::finish() {
    const QString text = QString::fromUtf8(pending_);
    pending_.clear();
    return text;
}

}  // namespace tessaron::desktop
