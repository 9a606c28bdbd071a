// libFuzzer target for the send box's text helpers: the input is taken as
// bytes (hexadecimal text, CRC, the four encodings) and as text (the hex
// parser's own input). The Modbus CRC appended to any bytes leaves residue 0
// and matches the standard check value; WithModbusCrc applied to its own
// result adds nothing; the hex parser reads back bytes.toHex(' '); Latin-1
// and UTF-16 (every whole code unit) round-trip exactly; UTF-8 and the
// locale's encoding only have to survive.
#include <stdlib.h>

#include "ByteText.h"
#include "Encoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes((const char*)data, (int)size);
    unsigned char crc[2];
    ModbusCrc16((const unsigned char*)"123456789", 9, &crc[0], &crc[1]);
    if (crc[0] != 0x37 || crc[1] != 0x4B)
        abort();
    ModbusCrc16(data, (int)size, &crc[0], &crc[1]);
    const QByteArray sealed = bytes + QByteArray((const char*)crc, 2);
    ModbusCrc16((const unsigned char*)sealed.constData(), sealed.size(), &crc[0], &crc[1]);
    if (crc[0] != 0 || crc[1] != 0)
        abort();
    const QString hex = QString::fromLatin1(bytes.toHex(' '));
    const QString withCrc = WithModbusCrc(hex);
    if (ParseHexText(hex) != bytes || (!withCrc.isNull() && !WithModbusCrc(withCrc).isNull()))
        abort();
    ParseHexText(QString::fromUtf8(bytes));
    ParseHexText(BytesToText(bytes, ENCODING_UTF16));
    if (TextToBytes(BytesToText(bytes, ENCODING_ASCII), ENCODING_ASCII) != bytes ||
        TextToBytes(BytesToText(bytes, ENCODING_UTF16), ENCODING_UTF16) != bytes.left(bytes.size() & ~1))
        abort();
    const QString utf16 = BytesToText(bytes, ENCODING_UTF16);
    for (int encoding : {0, 2, 7}) {  // the locale, UTF-8, and an index out of range (the locale)
        BytesToText(bytes, encoding);
        TextToBytes(utf16, encoding);
    }
    return 0;
}
