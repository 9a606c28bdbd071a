#include "Encoding.h"

#include <cstring>
#include <vector>

int CurrentEncoding = ENCODING_DEFAULT;

// The pointer-and-size overloads throughout: the QByteArray ones stop at the
// first zero byte, which would cut received data short.
QString BytesToText(const QByteArray& bytes, int encoding) {
    switch (encoding) {
    case ENCODING_ASCII:
        return QString::fromLatin1(bytes.constData(), bytes.size());
    case ENCODING_UTF8:
        return QString::fromUtf8(bytes.constData(), bytes.size());
    case ENCODING_UTF16: {
        // Copy into aligned storage; a last odd byte is not a whole code unit and is dropped.
        const int units = bytes.size() / 2;
        std::vector<char16_t> buffer((size_t)units);
        if (units > 0)
            std::memcpy(buffer.data(), bytes.constData(), (size_t)units * 2);
        // Every unit as it stands: fromUtf16 would take a leading FF FE or FE FF for a byte-order mark.
        return QString(reinterpret_cast<const QChar*>(buffer.data()), units);
    }
    default:
        return QString::fromLocal8Bit(bytes.constData(), bytes.size());
    }
}

QByteArray TextToBytes(const QString& text, int encoding) {
    switch (encoding) {
    case ENCODING_ASCII:
        return text.toLatin1();
    case ENCODING_UTF8:
        return text.toUtf8();
    case ENCODING_UTF16:
        return QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
    default:
        return text.toLocal8Bit();
    }
}

QString BytesToText(const QByteArray& bytes) {
    return BytesToText(bytes, CurrentEncoding);
}

QByteArray TextToBytes(const QString& text) {
    return TextToBytes(text, CurrentEncoding);
}
