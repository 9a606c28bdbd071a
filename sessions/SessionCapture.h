// A session's capture file: what arrives (and, in text, what is sent) is kept
// in memory and written in pieces of kWriteBytes, at least once a second and
// at close, so a busy tick pays for one write now and then, not one per chunk.
// Text lines are written as UTF-8, one per line; binary keeps the bytes only.
#ifndef MAROVENT_SESSIONCAPTURE_H
#define MAROVENT_SESSIONCAPTURE_H

#include <QByteArray>
#include <QFile>
#include <QString>

class SessionCapture {
public:
    static const int kWriteBytes = 64 * 1024;
    static const int kWriteEveryMs = 1000;

    ~SessionCapture() { Close(); }

    // Opens (truncating) path; false, with Error saying why, when it cannot.
    bool Open(const QString& path, bool binary, quint64 nowMs);
    // Each returns false once a write failed; the capture is then unusable.
    bool AppendLine(const QString& line);
    bool AppendBytes(const char* data, int size);
    // Writes what waits when a second has passed since the last write.
    bool Tick(quint64 nowMs);
    // Writes what waits and closes; false when that write failed.
    bool Close();

    bool IsBinary() const { return binary_; }
    QString Path() const { return file_.fileName(); }
    QString Error() const { return error_; }

private:
    bool Write();

    QFile file_;
    QByteArray buffer_;
    quint64 lastWriteMs_ = 0;
    bool binary_ = false;
    QString error_;
};

#endif
