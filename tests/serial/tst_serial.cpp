// The serial port device and session on a real pseudo-terminal: the device's
// open, line, bytes both ways and refusals once, then the session's own rules.
#include <QtTest>

#include "SerialLine.h"
#include "SessionItemCOM.h"
#include "serial/pty_pair.h"

class TestSerial : public QObject {
    Q_OBJECT
private slots:
    void portOpensRawAtItsLineAndPassesBytesUnchangedBothWays() {
        PtyPair pty;
        SerialPort port;
        char buf[64];
        QVERIFY(pty.Ok() && port.Open(pty.Path().c_str(), 12345, SERIAL_PARITY_NONE, 8, SERIAL_STOPBITS_TWO));
        const struct termios2 line = pty.Attributes();
        QVERIFY(SerialLineBaud(line) == 12345 && (line.c_cflag & kSerialFormatBits) == (CS8 | CSTOPB));
        QCOMPARE(line.c_lflag & (ICANON | ECHO | ISIG), 0u);
        QCOMPARE(port.Read(buf, sizeof(buf)), 0);  // nothing waiting reads nothing, at once
        const std::string bytes("\r\n\x03\x11\x13\x7f\x00\xff", 8);  // no editing, signals or flow control
        QVERIFY(pty.WriteFar(bytes) && pty.WaitPending(8));
        QVERIFY(port.Read(buf, 3) == 3 && port.Read(buf + 3, sizeof(buf) - 3) == 5 && std::string(buf, 8) == bytes);
        QCOMPARE(port.Write(bytes.data(), 8), 8);
        QVERIFY(pty.ReadFar(9, 200) == bytes);  // no CR-NL on output, no echo
    }

    // The formats a pseudo-terminal cannot take, checked on the line alone.
    void lineFormats() {
        const struct { uint32_t parity, bits, stop; unsigned cflag; } rows[] = {
            {SERIAL_PARITY_ODD, 7, SERIAL_STOPBITS_ONE, CS7 | PARENB | PARODD},
            {SERIAL_PARITY_EVEN, 6, SERIAL_STOPBITS_TWO, CS6 | PARENB | CSTOPB},
            {SERIAL_PARITY_MARK, 5, SERIAL_STOPBITS_ONE_POINT_FIVE, CS5 | PARENB | CMSPAR | PARODD | CSTOPB},
            {SERIAL_PARITY_SPACE, 8, SERIAL_STOPBITS_ONE, CS8 | PARENB | CMSPAR}};
        for (const auto& r : rows) {
            struct termios2 line;
            QVERIFY(SerialLineBuild(&line, 9600, r.parity, r.bits, r.stop));
            QCOMPARE(line.c_cflag & kSerialFormatBits, r.cflag);
        }
    }

    void portRefusesMissingHeldOrUntakenPortsAndClosesOnALostFarEnd() {
        PtyPair pty;
        const char* path = pty.Path().c_str();
        SerialPort port, holder;
        QVERIFY(!port.Open("marovent-no-such-port", 9600, 0, 8, 0) && port.GetLastError() == ENOENT);  // under /dev
        QVERIFY(!port.Open(path, 9600, SERIAL_PARITY_EVEN, 8, 0) && port.GetLastError() == EINVAL);  // parity dropped
        QVERIFY(holder.Open(path, 9600, 0, 8, 0) && !port.Open(path, 9600, 0, 8, 0));
        QCOMPARE(port.GetLastError(), EBUSY);
        holder.Close();
        QVERIFY(port.Open(path, 9600, 0, 8, 0));
        pty.CloseMaster();
        QCOMPARE(port.Write("lost", 4), 0);
        QVERIFY(port.GetLastError() == EIO && !port.IsOpen());
    }

    void sessionOpenAndReopenDropWhatWaitedAndKeepTheSettings() {
        PtyPair pty;
        SessionItemCOM session("COM");
        QVERIFY(pty.WriteFar("stale\n") && pty.WaitPending(6));  // a line: the terminal is not raw yet
        QVERIFY(session.Open(QByteArray::fromStdString(pty.Path()), 38400, 0, 8, 2, false, false));
        QVERIFY(pty.WaitPending(0));
        session.Close();
        QVERIFY(!session.IsOpen() && pty.WriteFar("stale again") && pty.WaitPending(11));
        QVERIFY(session.Restart() && pty.WaitPending(0));  // the start button
        QVERIFY(SerialLineBaud(pty.Attributes()) == 38400 && (pty.Attributes().c_cflag & CSTOPB));
        QVERIFY(pty.WriteFar("fresh") && pty.WaitPending(5));
        session.Update();
        QVERIFY(session.GetReceivedLines().size() == 1 && session.GetReceivedLines()[0].Text().endsWith("<=] fresh"));
    }

    // A vanished device reads nothing, as an idle one does: its hang-up closes
    // the session once, with a line and a signal for the window.
    void sessionNoticesAVanishedDevice() {
        PtyPair pty;
        SessionItemCOM session("COM");
        QSignalSpy changed(&session, &SessionItem::OnStateChanged);
        QVERIFY(session.Open(QByteArray::fromStdString(pty.Path()), 9600, 0, 8, 0, false, false));
        session.Update();
        QVERIFY(session.IsOpen() && changed.isEmpty());
        pty.CloseMaster();
        session.Update();
        session.Update();
        QVERIFY(!session.IsOpen() && !session.IsDeviceOpen() && changed.size() == 1);
        QVERIFY(session.GetReceivedLines().size() == 1 && session.GetReceivedLines()[0].Text() == "Error : com is disconnected");
    }

    // A far end that does not read: sends return at once with their bytes
    // queued up to the bound, past which one is refused; as the far end reads
    // again, the ticks pass the rest on, whole and in order.
    void sessionQueuesWhatTheFarEndDoesNotTakeYet() {
        PtyPair pty;
        SessionItemCOM session("COM");
        QVERIFY(session.Open(QByteArray::fromStdString(pty.Path()), 115200, 0, 8, 0, false, false));
        std::string sent;
        for (int i = 0; i < 1000 && session.Send(QByteArray(4096, char('a' + i % 26))); ++i)
            sent.append(4096, char('a' + i % 26));
        QVERIFY(session.QueuedBytes() > SerialPort::kMaxQueuedBytes - 4096 && sent.size() < 2u * SerialPort::kMaxQueuedBytes);
        QVERIFY(session.GetLastError().startsWith("serial write queue is full"));
        std::string got;
        QVERIFY(testnet::WaitUntil([&] { session.Update(); }, [&] {
            return (got += pty.ReadFar(sent.size() - got.size(), 1)).size() >= sent.size(); }, 20000));
        QVERIFY(got == sent && session.QueuedBytes() == 0 && session.IsOpen());
    }

    void sessionRefusalNamesThePort() {
        SessionItemCOM session("COM");
        QVERIFY(!session.Open("ttyMAROVENTNONE", 9600, 0, 8, 0, true, true) && !session.IsOpen());
        QCOMPARE(session.GetLastError(), QString("ttyMAROVENTNONE does not exist or is occupied."));
    }
};

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_serial.moc"
