// One serial port of the system, used from the GUI thread without ever
// waiting: open with a line setting, reads of what is there, writes of what
// the port takes now with the rest queued (bounded) for Flush, purge and
// close. There is no reader or writer thread; the owner polls.
#ifndef MAROVENT_SERIALPORT_H
#define MAROVENT_SERIALPORT_H

#include <stdint.h>

#include <string>

// Purge flags; the receive and transmit buffers are discarded for the CLEAR
// flags. The ABORT flags have nothing to cancel, as no I/O is ever pending.
enum SerialPurge {
    SERIAL_PURGE_TXABORT = 1,
    SERIAL_PURGE_RXABORT = 2,
    SERIAL_PURGE_TXCLEAR = 4,
    SERIAL_PURGE_RXCLEAR = 8,
};

// The device path for a port name: a name without a slash ("ttyUSB0", as the
// system lists ports) is taken under /dev, a name with a slash as it is.
std::string SerialPortPath(const char* name);

class SerialPort {
public:
    // Bytes a port keeps queued for a far end that does not take them: some
    // seconds of a fast line, far more than anyone types.
    static const int kMaxQueuedBytes = 1024 * 1024;

    SerialPort() = default;
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // RTS and DTR levels for the next open; both on after construction.
    void SetRts(bool on) { rts_ = on; }
    void SetDtr(bool on) { dtr_ = on; }
    bool GetRts() const { return rts_; }
    bool GetDtr() const { return dtr_; }

    // Closes any previous port, then opens name exclusively (a port that
    // another program holds is refused) and sets the line: parity 0 none,
    // 1 odd, 2 even, 3 mark, 4 space; 5 to 8 data bits; stop bits 0 one, 1 one
    // and a half, 2 two. A port without modem lines still opens. On failure
    // the port is left closed and GetLastError tells why.
    bool Open(const char* name, uint32_t baud, uint32_t parity, uint32_t dataBits,
              uint32_t stopBits);
    // Up to capacity buffered bytes, without waiting; 0 when none or not open.
    // -1 when the device hung up or failed: the port is then closed and
    // GetLastError tells why (an idle port and a vanished one both read nothing).
    int Read(void* buffer, int capacity);
    // Writes what the port takes now and queues the rest behind what already
    // waits; gives length. A failed write closes the port and gives 0. Data
    // that would queue more than kMaxQueuedBytes is refused whole: -1, the
    // port stays open, GetLastError is ENOBUFS.
    int Write(const void* data, int length);
    // Writes queued bytes as far as the port takes them now; gives the bytes
    // still queued, or -1 when the write failed (the port is then closed).
    int64_t Flush();
    int64_t QueuedBytes() const { return int64_t(queue_.size() - queueHead_); }
    // Discards the driver's buffers as the SERIAL_PURGE flags ask; only when open.
    void Purge(int flags);
    void Close();
    bool IsOpen() const { return open_; }
    // The errno of the last failed open or write (EINVAL for a line setting
    // the port cannot take, EBUSY for a port held elsewhere), 0 if none.
    int GetLastError() const { return lastError_; }

private:
    bool FailOpen(int error);
    int64_t WriteNow(const char* data, size_t length);
    int Vanished(int error);

    bool rts_ = true;
    bool dtr_ = true;
    int fd_ = -1;
    bool exclusive_ = false;  // this handle set the terminal's exclusive flag
    bool open_ = false;
    int lastError_ = 0;
    std::string queue_;     // bytes the port did not take yet, from queueHead_ on
    size_t queueHead_ = 0;
};

#endif
