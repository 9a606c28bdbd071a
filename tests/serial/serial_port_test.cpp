// The serial port device against real pseudo-terminals, and its line settings
// on their own (a pseudo-terminal cannot take parity or 5 to 7 data bits).
#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "SerialLine.h"
#include "SerialPort.h"
#include "serial/pty_pair.h"

namespace {

struct termios2 Built(uint32_t baud, uint32_t parity, uint32_t dataBits, uint32_t stopBits) {
    struct termios2 t;
    memset(&t, 0xA5, sizeof(t));
    EXPECT_TRUE(SerialLineBuild(&t, baud, parity, dataBits, stopBits));
    return t;
}

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char('A' + (i * 7 + i / 26) % 26);
    return s;
}

std::string ReadAll(SerialPort& port, int chunk, std::vector<int>* sizes = nullptr) {
    std::string got;
    std::vector<char> buf(size_t(chunk) + 1);
    for (int n; (n = port.Read(buf.data(), chunk)) > 0;) {
        got.append(buf.data(), size_t(n));
        if (sizes != nullptr)
            sizes->push_back(n);
    }
    return got;
}

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty.Ok()) << "no pseudo-terminal: " << strerror(errno); }
    bool Open8N1(SerialPort& port, uint32_t baud = 115200) {
        return port.Open(pty.Path().c_str(), baud, SERIAL_PARITY_NONE, 8, SERIAL_STOPBITS_ONE);
    }
    PtyPair pty;
};

}  // namespace

// ---- line settings, without a port ----

TEST(SerialLine, BaudRatesStandardAsCodeOthersAsBother) {
    struct termios2 t = Built(9600, 0, 8, 0);
    EXPECT_EQ(t.c_cflag & CBAUD, unsigned(B9600));
    EXPECT_EQ(SerialLineBaud(t), 9600u);
    t = Built(4000000, 0, 8, 0);
    EXPECT_EQ(t.c_cflag & CBAUD, unsigned(B4000000));
    t = Built(12345, 0, 8, 0);
    EXPECT_EQ(t.c_cflag & CBAUD, unsigned(BOTHER));
    EXPECT_EQ(t.c_ospeed, 12345u);
    EXPECT_EQ(t.c_ispeed, 12345u);
    EXPECT_EQ(SerialLineBaud(t), 12345u);
    // Input speed follows the output speed.
    EXPECT_EQ(t.c_cflag & CIBAUD, 0u);
}

TEST(SerialLine, EveryDataBitParityAndStopBitSetting) {
    const unsigned sizes[] = {CS5, CS6, CS7, CS8};
    for (uint32_t bits = 5; bits <= 8; ++bits)
        EXPECT_EQ(Built(9600, 0, bits, 0).c_cflag & CSIZE, sizes[bits - 5]) << bits;

    const unsigned parities[] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD,
                                 PARENB | CMSPAR};
    for (uint32_t p = 0; p <= 4; ++p)
        EXPECT_EQ(Built(9600, p, 8, 0).c_cflag & (PARENB | PARODD | CMSPAR), parities[p]) << p;

    EXPECT_EQ(Built(9600, 0, 8, SERIAL_STOPBITS_ONE).c_cflag & CSTOPB, 0u);
    // One and a half is the UART's reading of two stop bits with 5 data bits.
    EXPECT_EQ(Built(9600, 0, 5, SERIAL_STOPBITS_ONE_POINT_FIVE).c_cflag & CSTOPB, unsigned(CSTOPB));
    EXPECT_EQ(Built(9600, 0, 8, SERIAL_STOPBITS_TWO).c_cflag & CSTOPB, unsigned(CSTOPB));
}

TEST(SerialLine, RawWithoutFlowControlAndReadsThatDoNotWait) {
    const struct termios2 t = Built(9600, SERIAL_PARITY_EVEN, 7, 0);
    EXPECT_EQ(t.c_iflag, 0u) << "no parity check, XON/XOFF or CR/NL translation on input";
    EXPECT_EQ(t.c_oflag, 0u) << "no output processing";
    EXPECT_EQ(t.c_lflag, 0u) << "no echo, signals or line editing";
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), unsigned(CREAD | CLOCAL));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(t.c_line, 0);
}

TEST(SerialLine, OutOfRangeValuesAreRefused) {
    struct termios2 t;
    memset(&t, 0x5A, sizeof(t));
    const struct termios2 before = t;
    EXPECT_FALSE(SerialLineBuild(&t, 0, 0, 8, 0)) << "baud 0 would hang the line up";
    EXPECT_FALSE(SerialLineBuild(&t, 9600, 5, 8, 0));
    EXPECT_FALSE(SerialLineBuild(&t, 9600, 0, 4, 0));
    EXPECT_FALSE(SerialLineBuild(&t, 9600, 0, 9, 0));
    EXPECT_FALSE(SerialLineBuild(&t, 9600, 0, 3, 0)) << "a combo index is not a bit count";
    EXPECT_FALSE(SerialLineBuild(&t, 9600, 0, 8, 3));
    EXPECT_EQ(memcmp(&t, &before, sizeof(t)), 0);
}

TEST(SerialLine, TakenComparesFormatAndRoundedRate) {
    const struct termios2 want = Built(250000, SERIAL_PARITY_ODD, 7, SERIAL_STOPBITS_TWO);
    struct termios2 got = want;
    EXPECT_TRUE(SerialLineTaken(want, got));
    got.c_cflag &= ~PARENB;
    EXPECT_FALSE(SerialLineTaken(want, got)) << "parity dropped";
    got = want;
    got.c_cflag = (got.c_cflag & ~CSIZE) | CS8;
    EXPECT_FALSE(SerialLineTaken(want, got)) << "data bits changed";
    got = want;
    got.c_cflag &= ~CSTOPB;
    EXPECT_FALSE(SerialLineTaken(want, got)) << "stop bits changed";
    got = want;
    got.c_ospeed = 252000;
    EXPECT_TRUE(SerialLineTaken(want, got)) << "a rate rounded by the clock divider";
    got.c_cflag = (got.c_cflag & ~CBAUD) | B9600;
    EXPECT_FALSE(SerialLineTaken(want, got)) << "a driver falling back to 9600";
}

TEST(SerialLine, PortNamesWithoutSlashLiveUnderDev) {
    EXPECT_EQ(SerialPortPath("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(SerialPortPath("ttyS10"), "/dev/ttyS10");
    EXPECT_EQ(SerialPortPath("/dev/pts/7"), "/dev/pts/7");
    EXPECT_EQ(SerialPortPath("by-id/x"), "by-id/x");
}

// ---- the device on a pseudo-terminal ----

TEST_F(SerialPortTest, ClosedPortReadsAndWritesNothing) {
    SerialPort port;
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(port.GetRts());
    EXPECT_TRUE(port.GetDtr());
    char buf[16];
    EXPECT_EQ(port.Read(buf, sizeof(buf)), 0);
    EXPECT_EQ(port.Write("abc", 3), 0);
    port.Purge(SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR);
    port.Close();
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(SerialPortTest, NothingWaitingReadsZeroAtOnce) {
    SerialPort port;
    ASSERT_TRUE(Open8N1(port));
    char buf[64];
    // A read that waited would hang here; the test's time-out catches it.
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(port.Read(buf, sizeof(buf)), 0);
    EXPECT_TRUE(port.IsOpen());
}

TEST_F(SerialPortTest, EveryByteValuePassesUnchangedBothWays) {
    SerialPort port;
    ASSERT_TRUE(Open8N1(port));
    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i)
        all[size_t(i)] = char(i);

    // Far end to port: CR, ^C, ^S, ^Q, DEL and NUL arrive as bytes, not as editing or signals.
    ASSERT_TRUE(pty.WriteFar(all));
    ASSERT_TRUE(pty.WaitPending(256));
    EXPECT_EQ(ReadAll(port, 1024), all);

    // Port to far end: no NL to CR-NL and no echo of what came in.
    EXPECT_EQ(port.Write(all.data(), int(all.size())), 256);
    EXPECT_EQ(pty.ReadFar(256), all);
    EXPECT_EQ(pty.DrainFar(), "");
}

TEST_F(SerialPortTest, MoreThanOneReadWaitingComesInChunksOfCapacity) {
    SerialPort port;
    ASSERT_TRUE(Open8N1(port));
    const std::string sent = Pattern(3000);
    ASSERT_TRUE(pty.WriteFar(sent));
    ASSERT_TRUE(pty.WaitPending(3000));
    std::vector<int> sizes;
    EXPECT_EQ(ReadAll(port, 1024, &sizes), sent);
    ASSERT_GE(sizes.size(), 3u);
    for (int n : sizes)
        EXPECT_LE(n, 1024);
}

TEST_F(SerialPortTest, LineSettingsReachTheTerminal) {
    struct Case {
        uint32_t baud;
        uint32_t stopBits;
    };
    const Case cases[] = {{9600, SERIAL_STOPBITS_ONE}, {115200, SERIAL_STOPBITS_TWO},
                          {12345, SERIAL_STOPBITS_ONE}, {250000, SERIAL_STOPBITS_TWO}};
    SerialPort port;
    for (const Case& c : cases) {
        ASSERT_TRUE(port.Open(pty.Path().c_str(), c.baud, SERIAL_PARITY_NONE, 8, c.stopBits))
            << c.baud << ": " << strerror(port.GetLastError());
        const struct termios2 t = pty.Attributes();
        EXPECT_EQ(SerialLineBaud(t), c.baud);
        EXPECT_EQ(t.c_cflag & CSIZE, unsigned(CS8));
        EXPECT_EQ(t.c_cflag & PARENB, 0u);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.stopBits != SERIAL_STOPBITS_ONE) << c.baud;
        EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 0);
    }
}

// Each format a UART can take; a pseudo-terminal drops parity and narrow
// characters, and the port then refuses to open rather than run without them.
class SerialPortFormatTest : public SerialPortTest,
                             public ::testing::WithParamInterface<std::tuple<int, int, int>> {};

// Every parity with 8 data bits, every width without parity, every stop-bit setting.
const std::tuple<int, int, int> kFormats[] = {
    {SERIAL_PARITY_NONE, 8, SERIAL_STOPBITS_ONE},  {SERIAL_PARITY_ODD, 8, SERIAL_STOPBITS_ONE},
    {SERIAL_PARITY_EVEN, 8, SERIAL_STOPBITS_ONE},  {SERIAL_PARITY_MARK, 8, SERIAL_STOPBITS_ONE},
    {SERIAL_PARITY_SPACE, 8, SERIAL_STOPBITS_ONE}, {SERIAL_PARITY_NONE, 5, SERIAL_STOPBITS_ONE},
    {SERIAL_PARITY_NONE, 6, SERIAL_STOPBITS_ONE},  {SERIAL_PARITY_NONE, 7, SERIAL_STOPBITS_ONE},
    {SERIAL_PARITY_NONE, 5, SERIAL_STOPBITS_ONE_POINT_FIVE},
    {SERIAL_PARITY_NONE, 8, SERIAL_STOPBITS_ONE_POINT_FIVE},
    {SERIAL_PARITY_NONE, 8, SERIAL_STOPBITS_TWO},
};

TEST_P(SerialPortFormatTest, FormatReachesTheTerminalOrIsRefused) {
    const uint32_t parity = uint32_t(std::get<0>(GetParam()));
    const uint32_t bits = uint32_t(std::get<1>(GetParam()));
    const uint32_t stop = uint32_t(std::get<2>(GetParam()));
    SerialPort port;
    if (!port.Open(pty.Path().c_str(), 9600, parity, bits, stop)) {
        ASSERT_EQ(port.GetLastError(), EINVAL) << strerror(port.GetLastError());
        EXPECT_FALSE(port.IsOpen());
        // The refused open let go of the port.
        SerialPort other;
        EXPECT_TRUE(Open8N1(other));
        GTEST_SKIP() << "this terminal cannot take parity " << parity << " with " << bits
                     << " data bits";
    }
    struct termios2 want;
    ASSERT_TRUE(SerialLineBuild(&want, 9600, parity, bits, stop));
    EXPECT_EQ(pty.Attributes().c_cflag & kSerialFormatBits, want.c_cflag & kSerialFormatBits);
}

INSTANTIATE_TEST_SUITE_P(EachSetting, SerialPortFormatTest, ::testing::ValuesIn(kFormats));

TEST_F(SerialPortTest, ModemLineRequestsStillOpenWithoutModemLines) {
    for (int mask = 0; mask < 4; ++mask) {
        SerialPort port;
        port.SetRts((mask & 1) != 0);
        port.SetDtr((mask & 2) != 0);
        ASSERT_TRUE(Open8N1(port)) << mask << ": " << strerror(port.GetLastError());
        EXPECT_EQ(port.Write("x", 1), 1);
        EXPECT_EQ(pty.ReadFar(1), "x");
    }
}

TEST_F(SerialPortTest, SecondOpenClosesTheFirstHandle) {
    PtyPair other;
    ASSERT_TRUE(other.Ok());
    SerialPort port;
    ASSERT_TRUE(Open8N1(port));
    // The same port again: the old handle and its lock go first, or this would be refused.
    ASSERT_TRUE(Open8N1(port)) << strerror(port.GetLastError());
    ASSERT_TRUE(port.Open(other.Path().c_str(), 9600, 0, 8, 0));
    SerialPort second;
    EXPECT_TRUE(Open8N1(second)) << "the first port is still held";
    EXPECT_EQ(port.Write("to-other", 8), 8);
    EXPECT_EQ(other.ReadFar(8), "to-other");
    EXPECT_EQ(pty.DrainFar(), "");
}

TEST_F(SerialPortTest, PortHeldElsewhereIsRefused) {
    SerialPort holder;
    ASSERT_TRUE(Open8N1(holder));
    SerialPort port;
    EXPECT_FALSE(Open8N1(port));
    EXPECT_EQ(port.GetLastError(), EBUSY);
    EXPECT_FALSE(port.IsOpen());
    holder.Close();
    EXPECT_TRUE(Open8N1(port)) << strerror(port.GetLastError());
    port.Close();

    // Another program's lock on the same terminal.
    const int foreign = open(pty.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(foreign, 0);
    ASSERT_EQ(flock(foreign, LOCK_EX | LOCK_NB), 0);
    EXPECT_FALSE(Open8N1(port));
    EXPECT_EQ(port.GetLastError(), EBUSY);
    close(foreign);
    EXPECT_TRUE(Open8N1(port));
}

// An unprivileged program that does not lock is shut out by the exclusive
// flag while the port is open, and let in again after close.
TEST_F(SerialPortTest, ExclusiveFlagRefusesUnprivilegedOpens) {
    ASSERT_EQ(fchmod(pty.Watcher(), 0666), 0);
    const std::string path = pty.Path();
    auto unprivilegedOpenErrno = [&path]() -> int {
        if (geteuid() != 0) {
            const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            const int err = fd < 0 ? errno : 0;
            if (fd >= 0)
                close(fd);
            return err;
        }
        const pid_t child = fork();
        if (child == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(254);
            const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            _exit(fd < 0 ? (errno & 0x7f) : 0);
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
            return -1;
        return WEXITSTATUS(status);
    };
    ASSERT_EQ(unprivilegedOpenErrno(), 0) << "the terminal is not open to others at all";
    SerialPort port;
    ASSERT_TRUE(Open8N1(port));
    EXPECT_EQ(unprivilegedOpenErrno(), EBUSY);
    // A refused second opener leaves the holder's flag alone.
    SerialPort refused;
    EXPECT_FALSE(Open8N1(refused));
    EXPECT_EQ(unprivilegedOpenErrno(), EBUSY);
    port.Close();
    EXPECT_EQ(unprivilegedOpenErrno(), 0) << "the exclusive flag outlived the port";
}

TEST_F(SerialPortTest, MissingOrNonTerminalPortsFail) {
    SerialPort port;
    EXPECT_FALSE(port.Open("/dev/marovent-no-such-port", 9600, 0, 8, 0));
    EXPECT_EQ(port.GetLastError(), ENOENT);
    EXPECT_FALSE(port.Open("marovent-no-such-port", 9600, 0, 8, 0));
    EXPECT_EQ(port.GetLastError(), ENOENT);
    EXPECT_FALSE(port.Open("", 9600, 0, 8, 0));
    EXPECT_FALSE(port.Open(nullptr, 9600, 0, 8, 0));
    EXPECT_FALSE(port.Open("null", 9600, 0, 8, 0)) << "/dev/null is no terminal";
    EXPECT_EQ(port.GetLastError(), ENOTTY);
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(SerialPortTest, NameWithoutSlashOpensUnderDev) {
    // /dev/ptmx is a terminal that always exists: opening it by its bare name
    // gives a fresh pseudo-terminal, which only works through the /dev prefix.
    SerialPort port;
    EXPECT_TRUE(port.Open("ptmx", 9600, 0, 8, 0)) << strerror(port.GetLastError());
    EXPECT_TRUE(port.IsOpen());
}

TEST_F(SerialPortTest, FailedWriteClosesThePort) {
    SerialPort port;
    ASSERT_TRUE(Open8N1(port));
    pty.CloseMaster();
    EXPECT_EQ(port.Write("lost", 4), 0);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.GetLastError(), EIO);
    char buf[8];
    EXPECT_EQ(port.Read(buf, sizeof(buf)), 0);
    EXPECT_EQ(port.Write("lost", 4), 0);
}

TEST_F(SerialPortTest, StalledWriteReturnsWhatWentOutAndStaysOpen) {
    SerialPort port;
    ASSERT_TRUE(Open8N1(port));
    // The far end reads nothing, so the terminal's buffers fill and the write stalls.
    const std::string big = Pattern(1 << 20);
    const int n = port.Write(big.data(), int(big.size()));
    EXPECT_GT(n, 0);
    EXPECT_LT(n, int(big.size()));
    EXPECT_TRUE(port.IsOpen());
    const std::string got = pty.ReadFar(size_t(n));
    EXPECT_EQ(got, big.substr(0, size_t(n)));
    EXPECT_EQ(port.Write("more", 4), 4);
    EXPECT_EQ(pty.ReadFar(4), "more");
}

TEST_F(SerialPortTest, PurgeDiscardsWaitingInput) {
    SerialPort port;
    ASSERT_TRUE(Open8N1(port));
    ASSERT_TRUE(pty.WriteFar("stale bytes"));
    ASSERT_TRUE(pty.WaitPending(11));
    port.Purge(0);
    port.Purge(SERIAL_PURGE_TXCLEAR);
    EXPECT_TRUE(pty.WaitPending(11)) << "only the receive flag drops input";
    port.Purge(SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR);
    EXPECT_TRUE(pty.WaitPending(0));
    char buf[32];
    EXPECT_EQ(port.Read(buf, sizeof(buf)), 0);
    ASSERT_TRUE(pty.WriteFar("fresh"));
    ASSERT_TRUE(pty.WaitPending(5));
    EXPECT_EQ(ReadAll(port, 32), "fresh");
}
