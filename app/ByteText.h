// Text helpers of the send box and the statistics line: hexadecimal send text
// to bytes, the Modbus CRC that F1 appends, and byte counts in decimal units.
#ifndef MAROVENT_BYTETEXT_H
#define MAROVENT_BYTETEXT_H

#include <QByteArray>
#include <QString>

// A byte count or rate for the statistics line: b, Kb, Mb in decimal units.
QString FormatBytes(qint64 value, bool rate);

// Space-separated groups of hexadecimal digits to bytes; other characters are skipped.
QByteArray ParseHexText(const QString& text);

// CRC-16/MODBUS of count bytes, as its low and high byte.
void ModbusCrc16(const unsigned char* data, int count, unsigned char* low, unsigned char* high);

// The hexadecimal send text with its Modbus CRC appended, or a null string when
// there is nothing to append to or its last two bytes already are the CRC.
QString WithModbusCrc(const QString& hexText);

#endif
