#include "FileSender.h"

#include "SessionItem.h"
#include "SessionLine.h"

FileSender::FileSender(SessionItem* session, int delayMs)
    : QObject(session), session_(session), delayMs_(delayMs > 0 ? delayMs : 0) {}

bool FileSender::Open(const QString& path) {
    file_.setFileName(path);
    if (!file_.open(QIODevice::ReadOnly)) {
        error_ = file_.errorString();
        return false;
    }
    total_ = file_.size();
    return true;
}

void FileSender::Pump(qint64 nowMs) {
    const int chunk = session_->FileChunkBytes();
    if (done_ || chunk <= 0)
        return;
    if (nextDueMs_ < 0)
        nextDueMs_ = nowMs;
    // A late tick may catch up one piece, not a burst of them.
    if (delayMs_ > 0 && nextDueMs_ < nowMs - delayMs_)
        nextDueMs_ = nowMs - delayMs_;
    qint64 room = session_->SendWindowBytes() - session_->QueuedBytes();
    while (room > 0 && !done_ && (delayMs_ == 0 || nextDueMs_ <= nowMs)) {
        // Read only what goes out now: a file of any size costs one piece of memory.
        const QByteArray piece = file_.read(qMin<qint64>(chunk, total_ - sent_));
        if (piece.isEmpty()) {
            Finish(file_.error() == QFileDevice::NoError ? QString("文件已发送：%0 字节").arg(sent_)
                                                         : QString("文件发送中止：%0").arg(file_.errorString()));
            return;
        }
        if (!session_->Send(piece)) {
            Stop(session_->GetLastError());
            return;
        }
        sent_ += piece.size();
        room -= piece.size();
        nextDueMs_ += delayMs_;
        if (sent_ >= total_)
            Finish(QString("文件已发送：%0 字节").arg(sent_));
    }
}

void FileSender::Stop(const QString& reason) {
    if (!done_)
        Finish(QString("文件发送中止：%0，已发送 %1 字节").arg(reason).arg(sent_));
}

void FileSender::Finish(const QString& line) {
    done_ = true;
    file_.close();
    session_->AppendRecvLine(SessionLine(line));
}
