// One serial port of the system, used synchronously from the GUI thread: open
// with a line setting, reads that never wait, writes that finish before they
// return, purge and close. There is no reader thread; the owner polls.
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
    // A write that makes no progress for this long gives up with what went out.
    static const int kWriteStallMs = 1000;

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
    // Writes all of data before returning and gives the count written. A failed
    // write closes the port and gives 0; a write that stalls (a far end that
    // stopped reading) gives the count that went out and leaves the port open.
    int Write(const void* data, int length);
    // Discards the driver's buffers as the SERIAL_PURGE flags ask; only when open.
    void Purge(int flags);
    void Close();
    bool IsOpen() const { return open_; }
    // The errno of the last failed open or write (EINVAL for a line setting
    // the port cannot take, EBUSY for a port held elsewhere), 0 if none.
    int GetLastError() const { return lastError_; }

private:
    bool FailOpen(int error);
    bool WaitWritable(int timeoutMs);
    int Vanished(int error);

    bool rts_ = true;
    bool dtr_ = true;
    int fd_ = -1;
    bool exclusive_ = false;  // this handle set the terminal's exclusive flag
    bool open_ = false;
    int lastError_ = 0;
};

#endif
