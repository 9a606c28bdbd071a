// The serial-port session against real pseudo-terminals: one line per tick,
// counters, send, open and reopen, a port held elsewhere, a vanished far end.
#include <QSignalSpy>
#include <QTreeWidgetItem>
#include <QtTest>

#include <memory>

#include "Encoding.h"
#include "SerialLine.h"
#include "SessionItemCOM.h"
#include "serial/pty_pair.h"

// So QSignalSpy can record the item argument of the session's signals.
Q_DECLARE_METATYPE(QTreeWidgetItem*)

class TestSessionCOM : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<SessionItemCOM> session;

    bool OpenSession(SessionItemCOM& s, quint32 baud = 115200, quint32 dataBits = 8) {
        return s.Open(QByteArray::fromStdString(pty->Path()), baud, 0, dataBits, 0, true, true);
    }
    // The content of a received line, after "[hh:mm:ss <=] ".
    static QByteArray Content(const QByteArray& line) {
        const int start = line.indexOf("] ");
        return start < 0 ? QByteArray() : line.mid(start + 2);
    }

private slots:
    void initTestCase() {
        // Latin-1: one character per byte, so line contents compare byte for byte.
        CurrentEncoding = ENCODING_ASCII;
        qRegisterMetaType<QTreeWidgetItem*>();
    }

    void init() {
        pty.reset(new PtyPair);
        QVERIFY2(pty->Ok(), "no pseudo-terminal");
        session.reset(new SessionItemCOM("COM"));
    }

    void cleanup() {
        session.reset();
        pty.reset();
    }

    void bytesBetweenTwoTicksFormOneLine() {
        QVERIFY(OpenSession(*session));
        QSignalSpy received(session.get(), &SessionItem::OnReceived);
        QByteArray sent(3000, '\0');
        for (int i = 0; i < sent.size(); ++i)
            sent[i] = char('a' + i % 26);
        // Several far-end writes, more than one read's worth.
        QVERIFY(pty->WriteFar(sent.left(1000).toStdString()));
        QVERIFY(pty->WriteFar(sent.mid(1000).toStdString()));
        QVERIFY(pty->WaitPending(3000));

        session->Update();
        QCOMPARE(received.count(), 1);
        QCOMPARE(session->GetReceivedLines().size(), 1);
        QCOMPARE(Content(session->GetReceivedLines().first()), sent);
        QCOMPARE(received.first().at(1).toByteArray(), session->GetReceivedLines().first());
        QCOMPARE(session->GetRecvTotal(), 3000);

        // A tick with nothing waiting adds no line and leaves the counters.
        session->Update();
        session->Update();
        QCOMPARE(received.count(), 1);
        QCOMPARE(session->GetReceivedLines().size(), 1);
        QCOMPARE(session->GetRecvTotal(), 3000);
    }

    void idleOrClosedPortAddsNothing() {
        QSignalSpy received(session.get(), &SessionItem::OnReceived);
        session->Update();  // never opened
        QVERIFY(OpenSession(*session));
        session->Update();
        session->Close();
        QVERIFY(pty->WriteFar("after close"));
        QVERIFY(pty->WaitPending(11));
        session->Update();
        QCOMPARE(received.count(), 0);
        QCOMPARE(session->GetRecvTotal(), 0);
        QVERIFY(session->GetReceivedLines().isEmpty());
    }

    void sendReachesTheFarEnd() {
        QVERIFY(OpenSession(*session));
        const QByteArray payload("hello\r\n\x00\x7f", 9);
        QVERIFY(session->Send(payload));
        QCOMPARE(QByteArray::fromStdString(pty->ReadFar(9)), payload);
        QVERIFY(!session->Send(QByteArray()));
        QVERIFY(session->IsDeviceOpen());
    }

    void openDropsBytesThatWaitedBefore() {
        // The terminal is still in line mode here: only a whole line counts as waiting.
        QVERIFY(pty->WriteFar("stale\n"));
        QVERIFY(pty->WaitPending(6));
        QVERIFY(OpenSession(*session));
        QVERIFY(pty->WaitPending(0));
        session->Update();
        QVERIFY(session->GetReceivedLines().isEmpty());
        QVERIFY(pty->WriteFar("fresh"));
        QVERIFY(pty->WaitPending(5));
        session->Update();
        QCOMPARE(Content(session->GetReceivedLines().value(0)), QByteArray("fresh"));
    }

    void missingPortFailsWithItsText() {
        QVERIFY(!session->Open("ttyMAROVENTNONE", 9600, 0, 8, 0, true, true));
        QVERIFY(!session->IsOpen());
        QVERIFY(!session->IsDeviceOpen());
        QCOMPARE(session->GetLastError(),
                 QString("ttyMAROVENTNONE does not exist or is occupied."));
        QVERIFY(!session->Send("x"));
        session->Update();
        QVERIFY(session->GetReceivedLines().isEmpty());
    }

    void portHeldByAnotherSessionIsRefusedUntilClosed() {
        QVERIFY(OpenSession(*session));
        SessionItemCOM other("COM");
        QVERIFY(!OpenSession(other));
        QVERIFY(!other.IsOpen());
        QCOMPARE(other.GetLastError(),
                 QString::fromStdString(pty->Path()) + " does not exist or is occupied.");
        session->Close();
        QVERIFY(!session->IsOpen());
        QVERIFY(other.Restart());
        QVERIFY(other.Send("ok"));
        QCOMPARE(pty->ReadFar(2), std::string("ok"));
    }

    void reopenUsesTheStoredSettings() {
        QCOMPARE(session->GetType(), 244);
        QVERIFY(session->Open(QByteArray::fromStdString(pty->Path()), 38400, 0, 8, 2, false, false));
        QVERIFY(session->IsOpen());
        QVERIFY(session->IsDeviceOpen());
        QCOMPARE(session->GetPortName(), QByteArray::fromStdString(pty->Path()));
        QCOMPARE(session->GetBaudRate(), 38400u);
        session->Close();
        QVERIFY(!session->IsOpen());
        QVERIFY(session->Restart());  // the start button
        QVERIFY(session->IsOpen());
        const struct termios2 t = pty->Attributes();
        QCOMPARE(SerialLineBaud(t), 38400u);
        QVERIFY(t.c_cflag & CSTOPB);
        QVERIFY(!session->GetRts());
        QVERIFY(!session->GetDtr());
        QVERIFY(pty->WriteFar("again"));
        QVERIFY(pty->WaitPending(5));
        session->Update();
        QCOMPARE(Content(session->GetReceivedLines().value(0)), QByteArray("again"));
    }

    void vanishedFarEndFailsTheSend() {
        QVERIFY(OpenSession(*session));
        pty->CloseMaster();
        QVERIFY(!session->Send("lost"));
        QVERIFY(!session->IsDeviceOpen());
        // The session still counts as opened; the window checks both flags.
        QVERIFY(session->IsOpen());
        session->Update();
        QVERIFY(session->GetReceivedLines().isEmpty());
    }

    void dataBitsAreCountsNotIndexes_data() {
        QTest::addColumn<quint32>("dataBits");
        QTest::addColumn<quint32>("parity");
        QTest::newRow("8 none") << 8u << 0u;
        QTest::newRow("7 none") << 7u << 0u;
        QTest::newRow("8 even") << 8u << 2u;
    }

    void dataBitsAreCountsNotIndexes() {
        QFETCH(quint32, dataBits);
        QFETCH(quint32, parity);
        // The dialog's index (3 for eight bits) is no bit count and must not open.
        QVERIFY(!session->Open(QByteArray::fromStdString(pty->Path()), 9600, parity, dataBits - 5,
                               0, true, true));
        if (!session->Open(QByteArray::fromStdString(pty->Path()), 9600, parity, dataBits, 0, true,
                           true)) {
            QVERIFY(dataBits != 8 || parity != 0);
            QSKIP("this terminal cannot take the format");
        }
        struct termios2 want;
        QVERIFY(SerialLineBuild(&want, 9600, parity, dataBits, 0));
        QCOMPARE(pty->Attributes().c_cflag & kSerialFormatBits, want.c_cflag & kSerialFormatBits);
        QCOMPARE(session->GetDataBits(), dataBits);
    }

    void deletingTheSessionReleasesThePort() {
        QVERIFY(OpenSession(*session));
        session.reset();
        SessionItemCOM next("COM");
        QVERIFY(OpenSession(next));
    }
};

QTEST_MAIN(TestSessionCOM)
#include "tst_sessioncom.moc"
