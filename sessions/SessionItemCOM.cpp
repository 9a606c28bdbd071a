#include "SessionItemCOM.h"

#include <string.h>

SessionItemCOM::SessionItemCOM(const QString& kind) : SessionItem(kind) {}

SessionItemCOM::~SessionItemCOM() {
    device_.Close();
}

int SessionItemCOM::GetType() {
    return TYPE_SERIAL_PORT;
}

bool SessionItemCOM::Open(const QByteArray& portName, quint32 baudRate, quint32 parity,
                          quint32 dataBits, quint32 stopBits, bool rts, bool dtr) {
    portName_ = portName;
    baudRate_ = baudRate;
    parity_ = parity;
    dataBits_ = dataBits;
    stopBits_ = stopBits;
    rts_ = rts;
    dtr_ = dtr;
    return Restart();
}

bool SessionItemCOM::Restart() {
    device_.SetRts(rts_);
    device_.SetDtr(dtr_);
    open_ = device_.Open(portName_.constData(), baudRate_, parity_, dataBits_, stopBits_);
    // Bytes that waited from before the open belong to no session.
    device_.Purge(SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR);
    if (!open_)
        return Fail(QString("%0 does not exist or is occupied.").arg(QString::fromUtf8(portName_)));
    ClearError();
    return true;
}

void SessionItemCOM::Update() {
    SessionItem::Update();
    QByteArray received;
    char chunk[kReadChunk];
    int n;
    while ((n = device_.Read(chunk, kReadChunk)) > 0)
        received.append(chunk, n);
    if (!received.isEmpty())
        ReceiveBytes(received);
    // Queued sends go out as the port takes them; a failed write means the
    // device went away as surely as a failed read.
    if (n == 0 && device_.Flush() < 0)
        n = -1;
    // The device went away (unplugged, or the far end of a pseudo-terminal
    // closed): the port is closed already; say so once.
    if (n < 0 && open_) {
        open_ = false;
        AppendRecvLine(SessionLine("Error : com is disconnected"));
        emit OnStateChanged(GetTreeItem());
    }
}

void SessionItemCOM::Close() {
    device_.Close();
    open_ = false;
}

bool SessionItemCOM::Send(const QByteArray& data) {
    const int taken = device_.Write(data.constData(), data.size());
    if (taken > 0)
        return true;
    if (taken < 0)
        return Fail(QString("serial write queue is full (%0 bytes wait for the port)").arg(device_.QueuedBytes()));
    return Fail(QString::fromLocal8Bit(strerror(device_.GetLastError())));
}

int SessionItemCOM::FileChunkBytes() const {
    return kFileChunk;
}

qint64 SessionItemCOM::QueuedBytes() const {
    return device_.QueuedBytes();
}

// About a fifth of a second of the line (10 bits a byte), so a file keeps the
// line busy without filling the queue.
qint64 SessionItemCOM::SendWindowBytes() const {
    return qMax<qint64>(kFileChunk, baudRate_ / 50);
}
