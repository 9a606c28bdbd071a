#include "SessionCapture.h"

bool SessionCapture::Open(const QString& path, bool binary, quint64 nowMs) {
    binary_ = binary;
    lastWriteMs_ = nowMs;
    buffer_.reserve(2 * kWriteBytes);  // kept across writes (see Write)
    file_.setFileName(path);
    // Unbuffered: the buffer here decides when the system is asked to write.
    if (file_.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return true;
    error_ = QString("cannot open %1: %2").arg(path, file_.errorString());
    return false;
}

bool SessionCapture::AppendLine(const QString& line) {
    buffer_ += line.toUtf8();
    buffer_ += '\n';
    return buffer_.size() < kWriteBytes || Write();
}

bool SessionCapture::AppendBytes(const char* data, int size) {
    buffer_.append(data, size);
    return buffer_.size() < kWriteBytes || Write();
}

bool SessionCapture::Tick(quint64 nowMs) {
    if (nowMs - lastWriteMs_ < kWriteEveryMs)
        return true;
    lastWriteMs_ = nowMs;
    return Write();
}

bool SessionCapture::Close() {
    const bool written = !file_.isOpen() || Write();
    file_.close();
    return written;
}

bool SessionCapture::Write() {
    if (!error_.isEmpty())
        return false;
    qint64 done = 0;
    while (done < buffer_.size()) {
        const qint64 n = file_.write(buffer_.constData() + done, buffer_.size() - done);
        if (n <= 0) {
            error_ = QString("write to %1 failed: %2").arg(file_.fileName(), file_.errorString());
            buffer_.clear();
            return false;
        }
        done += n;
    }
    buffer_.resize(0);  // with the reserve, keeps its storage
    return true;
}
