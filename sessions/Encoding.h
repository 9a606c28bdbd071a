// The process-wide text encoding chosen in the window, and its two conversions.
#ifndef MAROVENT_ENCODING_H
#define MAROVENT_ENCODING_H

#include <QByteArray>
#include <QString>

// Index of the window's encoding combo box: 0 Default (locale), 1 ASCII (Latin-1),
// 2 UTF8, 3 UTF16 (machine byte order, no byte-order mark); anything else is Default.
extern int CurrentEncoding;

enum EncodingIndex { ENCODING_DEFAULT = 0, ENCODING_ASCII = 1, ENCODING_UTF8 = 2, ENCODING_UTF16 = 3 };

QString BytesToText(const QByteArray& bytes);
QByteArray TextToBytes(const QString& text);

// The same conversions for an explicit encoding index.
QString BytesToText(const QByteArray& bytes, int encoding);
QByteArray TextToBytes(const QString& text, int encoding);

#endif
