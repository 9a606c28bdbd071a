#include "SessionLine.h"

#include <QDateTime>

#include "Encoding.h"

SessionLine::SessionLine(qint64 arrivalMs, const QByteArray& payload, int size, bool hex, int encoding)
    : payload_(payload), arrivalMs_(arrivalMs), size_(size), hex_(hex) {
    // Any index past the known ones means Default; kept in a byte, it must stay one.
    encoding_ = qint8(encoding >= 0 && encoding <= ENCODING_UTF16 ? encoding : ENCODING_DEFAULT);
}

SessionLine SessionLine::Sent(qint64 atMs, const QString& text) {
    SessionLine line(text);
    line.arrivalMs_ = atMs;
    line.sent_ = true;
    return line;
}

// Lines come many to a second, and a local time costs a time-zone lookup.
static QString TimeText(qint64 atMs, bool milliseconds) {
    static qint64 second = -1;
    static QString text;
    if (atMs / 1000 != second) {
        second = atMs / 1000;
        text = QDateTime::fromMSecsSinceEpoch(atMs).toString("hh:mm:ss");
    }
    if (!milliseconds)
        return text;
    return text + QString(".%1").arg(int(atMs % 1000), 3, 10, QLatin1Char('0'));
}

QString SessionLine::Text(bool milliseconds) const {
    if (sent_)
        return QLatin1Char('[') + TimeText(arrivalMs_, milliseconds) + QLatin1String(" =>] ") + text_;
    if (!IsReceived())
        return text_;
    QString line;
    line.reserve((hex_ ? payload_.size() * 3 : payload_.size()) + 36);
    line += QLatin1Char('[') + TimeText(arrivalMs_, milliseconds) + QLatin1String(" <=] ");
    line += hex_ ? QString::fromLatin1(payload_.toHex(' ')) : BytesToText(payload_, encoding_);
    if (payload_.size() < size_)
        line += QString(" … [%0 bytes]").arg(size_);
    return line;
}
