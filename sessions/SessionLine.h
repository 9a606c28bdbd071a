// One line of a session's receive list. A received chunk is kept raw (arrival
// time, the first bytes, its size, and the hex flag and encoding in force when
// it came) and formatted only when shown: most sessions are not on screen, and
// at full speed formatting every chunk on arrival became the limit. A sent
// line keeps its time and text; any other line (errors) is kept as text.
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
    // What the user sent at atMs, as typed.
    static SessionLine Sent(qint64 atMs, const QString& text);

    // "[hh:mm:ss <=] payload" as it read on arrival (the payload in hex or
    // decoded text, and the chunk's size when only its start is kept),
    // "[hh:mm:ss =>] text" for a sent line; any other line's own text. With
    // milliseconds the time reads "hh:mm:ss.zzz".
    QString Text(bool milliseconds = false) const;
    bool IsReceived() const { return size_ > 0; }
    bool IsSent() const { return sent_; }
    qint64 TimeMs() const { return arrivalMs_; }

private:
    QString text_;
    QByteArray payload_;
    qint64 arrivalMs_ = 0;  // since the epoch, as the clock read on arrival
    int size_ = 0;          // the chunk's bytes; 0 for a text line
    qint8 encoding_ = 0;
    bool hex_ = false;
    bool sent_ = false;
};

Q_DECLARE_TYPEINFO(SessionLine, Q_MOVABLE_TYPE);

#endif
