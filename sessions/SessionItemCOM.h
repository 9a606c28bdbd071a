// A session on one serial port: keeps the line settings the user chose, polls
// the port on every tick and shows whatever arrived since the last tick as
// one received line.
#ifndef MAROVENT_SESSIONITEMCOM_H
#define MAROVENT_SESSIONITEMCOM_H

#include <QByteArray>
#include <QString>

#include "SerialPort.h"
#include "SessionItem.h"

class SessionItemCOM : public SessionItem {
    Q_OBJECT
public:
    // Size of one read while draining the port.
    static const int kReadChunk = 1024;
    // A file goes out in pieces of this size through the port's write queue.
    static const int kFileChunk = 256;

    explicit SessionItemCOM(const QString& kind);
    ~SessionItemCOM() override;

    int GetType() override;
    void Update() override;
    void Close() override;
    // Queues what the port does not take now; refused when the queue is full.
    bool Send(const QByteArray& data) override;
    int FileChunkBytes() const override;
    qint64 QueuedBytes() const override;
    qint64 SendWindowBytes() const override;
    bool PacesFileChunks() const override { return true; }

    // Stores the settings and opens the port with them, dropping whatever was
    // waiting in its buffers. dataBits is the count, 5 to 8; parity 0 none,
    // 1 odd, 2 even, 3 mark, 4 space; stopBits 0 one, 1 one and a half, 2 two.
    bool Open(const QByteArray& portName, quint32 baudRate, quint32 parity, quint32 dataBits,
              quint32 stopBits, bool rts, bool dtr);
    // The same with the stored settings (the start button).
    bool Restart() override;

    // The result of the last open, until Close.
    bool IsOpen() const { return open_; }
    // The port's own state: false as well after a write failed.
    bool IsDeviceOpen() const { return device_.IsOpen(); }

    QByteArray GetPortName() const { return portName_; }
    quint32 GetBaudRate() const { return baudRate_; }
    quint32 GetParity() const { return parity_; }
    quint32 GetDataBits() const { return dataBits_; }
    quint32 GetStopBits() const { return stopBits_; }
    bool GetRts() const { return rts_; }
    bool GetDtr() const { return dtr_; }

private:
    QByteArray portName_;
    quint32 baudRate_ = 0;
    quint32 parity_ = 0;
    quint32 dataBits_ = 8;
    quint32 stopBits_ = 0;
    bool rts_ = true;
    bool dtr_ = true;
    SerialPort device_;
    bool open_ = false;
};

#endif
