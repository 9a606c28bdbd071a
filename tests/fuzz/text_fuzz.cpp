// libFuzzer target for the send box's text helpers, the input taken as bytes:
// the Modbus CRC (with its standard check value) appended gives residue 0;
// WithModbusCrc adds nothing to its own result; hex text and Latin-1 round-trip,
// UTF-16 for every whole code unit; UTF-8 and the locale's encoding survive.
#include <stdlib.h>

#include "ByteText.h"
#include "Encoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes((const char*)data, (int)size);
    unsigned char crc[2], check[2];
    ModbusCrc16((const unsigned char*)"123456789", 9, &check[0], &check[1]);
    ModbusCrc16(data, (int)size, &crc[0], &crc[1]);
    const QByteArray sealed = bytes + QByteArray((const char*)crc, 2);
    ModbusCrc16((const unsigned char*)sealed.constData(), sealed.size(), &crc[0], &crc[1]);
    const QString hex = QString::fromLatin1(bytes.toHex(' ')), withCrc = WithModbusCrc(hex);
    const QString utf16 = BytesToText(bytes, ENCODING_UTF16);
    if (check[0] != 0x37 || check[1] != 0x4B || crc[0] != 0 || crc[1] != 0 || ParseHexText(hex) != bytes ||
        (!withCrc.isNull() && !WithModbusCrc(withCrc).isNull()) ||
        TextToBytes(BytesToText(bytes, ENCODING_ASCII), ENCODING_ASCII) != bytes ||
        TextToBytes(utf16, ENCODING_UTF16) != bytes.left(bytes.size() & ~1))
        abort();
    ParseHexText(utf16);  // any text
    for (int encoding : {0, 2, 7}) {  // the locale, UTF-8, and an index out of range (the locale)
        BytesToText(bytes, encoding);
        TextToBytes(utf16, encoding);
    }
    return 0;
}
