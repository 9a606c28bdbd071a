// One line of a session's receive list. A received chunk is kept raw (arrival
// time, the first bytes, its size, and the hex flag and encoding in force when
// it came) and formatted only when shown: most sessions are not on screen, and
// at full speed formatting every chunk on arrival became the limit. Any other
// line (sent text, errors) is kept as text.
#ifndef MAROVENT_SESSIONLINE_H
#define MAROVENT_SESSIONLINE_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

class SessionLine {
public:
    SessionLine() = default;
    // A line shown as it is.
    explicit SessionLine(const QString& text) : text_(text) {}
    // A received chunk of size bytes of which payload is the kept start.
    SessionLine(qint64 arrivalMs, const QByteArray& payload, int size, bool hex, int encoding);

    // "[hh:mm:ss <=] payload" as it read on arrival (the payload in hex or
    // decoded text, and the chunk's size when only its start is kept); a text
    // line's own text.
    QString Text() const;
    bool IsReceived() const { return size_ > 0; }

private:
    QString text_;
    QByteArray payload_;
    qint64 arrivalMs_ = 0;  // since the epoch, as the clock read on arrival
    int size_ = 0;          // the chunk's bytes; 0 for a text line
    qint8 encoding_ = 0;
    bool hex_ = false;
};

Q_DECLARE_TYPEINFO(SessionLine, Q_MOVABLE_TYPE);

#endif
