#include "ByteText.h"

#include <QStringList>

QString FormatBytes(qint64 value, bool rate) {
    const char* suffix = rate ? "/s" : "";
    if (value <= 1000)
        return QString::number(value) + "b" + suffix;
    if (value <= 1000000)
        return QString::number(value / 1000.0, 'f', 2) + "Kb" + suffix;
    return QString::number(value / 1000000.0, 'f', 2) + "Mb" + suffix;
}

QByteArray ParseHexText(const QString& text) {
    QByteArray bytes;
    for (const QString& part : text.split(QChar(' '), Qt::SkipEmptyParts))
        bytes += QByteArray::fromHex(part.toUtf8());
    return bytes;
}

void ModbusCrc16(const unsigned char* data, int count, unsigned char* low, unsigned char* high) {
    unsigned crc = 0xFFFF;
    for (int i = 0; i < count; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    *low = (unsigned char)(crc & 0xFF);
    *high = (unsigned char)(crc >> 8);
}

QString WithModbusCrc(const QString& hexText) {
    QByteArray bytes = ParseHexText(hexText);
    if (bytes.size() < 2)
        return QString();
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.constData());
    unsigned char low = 0, high = 0;
    ModbusCrc16(data, bytes.size() - 2, &low, &high);
    if (data[bytes.size() - 2] == low && data[bytes.size() - 1] == high)
        return QString();
    ModbusCrc16(data, bytes.size(), &low, &high);
    bytes.append((char)low);
    bytes.append((char)high);
    return QString::fromLatin1(bytes.toHex(' '));
}
