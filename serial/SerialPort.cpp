#include "SerialPort.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "SerialLine.h"

namespace {

// Raises or lowers one modem line. Ports without modem lines (pseudo-terminals,
// some USB adapters) refuse the request; they still work, so this is best effort.
void SetModemLine(int fd, int line, bool on) {
    ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
}

}  // namespace

std::string SerialPortPath(const char* name) {
    if (name == nullptr)
        return std::string();
    if (strchr(name, '/') != nullptr)
        return name;
    return std::string("/dev/") + name;
}

SerialPort::~SerialPort() {
    Close();
}

bool SerialPort::FailOpen(int error) {
    Close();
    lastError_ = error;
    return false;
}

bool SerialPort::Open(const char* name, uint32_t baud, uint32_t parity, uint32_t dataBits,
                      uint32_t stopBits) {
    Close();
    lastError_ = 0;
    if (name == nullptr || name[0] == '\0')
        return FailOpen(ENOENT);
    struct termios2 line;
    if (!SerialLineBuild(&line, baud, parity, dataBits, stopBits))
        return FailOpen(EINVAL);

    // Non-blocking, so neither the open (no carrier yet) nor a read ever waits.
    const std::string path = SerialPortPath(name);
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0)
        return FailOpen(errno);
    // Exclusive use: the advisory lock refuses every program that locks too
    // (another instance, terminal programs, modem managers) whatever its
    // rights; TIOCEXCL refuses any later open by an unprivileged program.
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0)
        return FailOpen(errno == EWOULDBLOCK ? EBUSY : errno);
    if (ioctl(fd_, TIOCEXCL) != 0)
        return FailOpen(errno);
    exclusive_ = true;
    if (ioctl(fd_, TCSETS2, &line) != 0)
        return FailOpen(errno);
    struct termios2 actual;
    if (ioctl(fd_, TCGETS2, &actual) != 0)
        return FailOpen(errno);
    if (!SerialLineTaken(line, actual))
        return FailOpen(EINVAL);
    SetModemLine(fd_, TIOCM_RTS, rts_);
    SetModemLine(fd_, TIOCM_DTR, dtr_);
    open_ = true;
    return true;
}

int SerialPort::Read(void* buffer, int capacity) {
    if (!open_ || buffer == nullptr || capacity <= 0)
        return 0;
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, size_t(capacity));
        if (n > 0)
            return int(n);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return Vanished(errno);
        struct pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            return Vanished(EIO);
        return 0;
    }
}

int SerialPort::Vanished(int error) {
    Close();
    lastError_ = error;
    return -1;
}

// Writes as much as the port takes without waiting: the count, or -1 when
// the write failed and the port was closed.
int64_t SerialPort::WriteNow(const char* data, size_t length) {
    size_t written = 0;
    while (written < length) {
        const ssize_t n = ::write(fd_, data + written, length - written);
        if (n > 0) {
            written += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            const int error = errno;
            Close();
            lastError_ = error;
            return -1;
        }
        break;  // the port's buffer is full: the rest waits for Flush
    }
    return int64_t(written);
}

int SerialPort::Write(const void* data, int length) {
    if (!open_ || data == nullptr || length <= 0)
        return 0;
    if (QueuedBytes() + length > kMaxQueuedBytes) {
        lastError_ = ENOBUFS;
        return -1;
    }
    const char* bytes = static_cast<const char*>(data);
    // Behind queued bytes, new ones must wait their turn.
    if (QueuedBytes() > 0) {
        queue_.append(bytes, size_t(length));
        return Flush() < 0 ? 0 : length;
    }
    const int64_t written = WriteNow(bytes, size_t(length));
    if (written < 0)
        return 0;
    queue_.append(bytes + written, size_t(length - written));
    return length;
}

int64_t SerialPort::Flush() {
    if (!open_)
        return QueuedBytes();
    if (QueuedBytes() == 0)
        return 0;
    const int64_t written = WriteNow(queue_.data() + queueHead_, queue_.size() - queueHead_);
    if (written < 0)
        return -1;
    queueHead_ += size_t(written);
    // Compact once the taken part dominates, so appends stay amortised.
    if (queueHead_ == queue_.size()) {
        queue_.clear();
        queueHead_ = 0;
    } else if (queueHead_ > queue_.size() / 2) {
        queue_.erase(0, queueHead_);
        queueHead_ = 0;
    }
    return QueuedBytes();
}

void SerialPort::Purge(int flags) {
    if (!open_)
        return;
    const bool tx = (flags & SERIAL_PURGE_TXCLEAR) != 0;
    const bool rx = (flags & SERIAL_PURGE_RXCLEAR) != 0;
    if (tx) {
        queue_.clear();
        queueHead_ = 0;
    }
    if (tx && rx)
        ioctl(fd_, TCFLSH, TCIOFLUSH);
    else if (tx)
        ioctl(fd_, TCFLSH, TCOFLUSH);
    else if (rx)
        ioctl(fd_, TCFLSH, TCIFLUSH);
}

void SerialPort::Close() {
    if (fd_ >= 0) {
        // The exclusive flag outlives this descriptor while another end keeps
        // the terminal alive (a pseudo-terminal's master), so drop it first;
        // but only our own: a refused open must not unlock the holder's port.
        if (exclusive_)
            ioctl(fd_, TIOCNXCL);
        ::close(fd_);
    }
    fd_ = -1;
    exclusive_ = false;
    open_ = false;
    queue_.clear();
    queueHead_ = 0;
}
