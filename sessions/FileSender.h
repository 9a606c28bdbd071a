// Streams one file through a session: each pump reads and sends the pieces
// the session can take now (its chunk size, its send window less what it
// still has queued), optionally one piece per delay, and logs the outcome on
// the session as one line. A child of the session, so it goes with it.
#ifndef MAROVENT_FILESENDER_H
#define MAROVENT_FILESENDER_H

#include <QFile>
#include <QObject>
#include <QString>

class SessionItem;

class FileSender : public QObject {
    Q_OBJECT
public:
    // delayMs: pause between pieces, 0 for none.
    FileSender(SessionItem* session, int delayMs);

    // Opens path for reading; false with the reason in Error().
    bool Open(const QString& path);
    QString Error() const { return error_; }

    // Sends what the session takes now; nowMs is a monotonic clock.
    void Pump(qint64 nowMs);
    // Ends an unfinished send with reason as the session's line.
    void Stop(const QString& reason);

    bool IsDone() const { return done_; }
    SessionItem* Session() const { return session_; }
    qint64 Sent() const { return sent_; }
    qint64 Total() const { return total_; }
    int Percent() const { return total_ > 0 ? int(sent_ * 100 / total_) : 100; }

private:
    void Finish(const QString& line);

    SessionItem* session_;
    int delayMs_;
    QFile file_;
    QString error_;
    qint64 total_ = 0;
    qint64 sent_ = 0;
    qint64 nextDueMs_ = -1;
    bool done_ = false;
};

#endif
