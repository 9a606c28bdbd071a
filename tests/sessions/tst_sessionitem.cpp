// The session base: bounded received lines, rate window, send history,
// received-line formatting and the four text encodings.
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSysInfo>
#include <QTreeWidgetItem>
#include <QtTest>

#include "Encoding.h"
#include "SessionItem.h"

Q_DECLARE_METATYPE(QTreeWidgetItem*)

namespace {

// The smallest concrete session: a settable clock and access to the receive path.
class ProbeSession : public SessionItem {
public:
    ProbeSession() : SessionItem("Probe") {}
    int GetType() override { return 0; }
    void Receive(const QByteArray& data) { ReceiveBytes(data); }
    quint64 now = 0;

protected:
    quint64 ClockNow() const override { return now; }
};

QByteArray Utf16Bytes(const QList<quint16>& units) {
    QByteArray out;
    for (quint16 unit : units) {
        const char lo = char(unit & 0xff), hi = char(unit >> 8);
        if (QSysInfo::ByteOrder == QSysInfo::LittleEndian)
            out.append(lo).append(hi);
        else
            out.append(hi).append(lo);
    }
    return out;
}

}  // namespace

class TestSessionItem : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<QTreeWidgetItem*>(); }
    void init() { CurrentEncoding = ENCODING_UTF8; }

    void receivedLinesTrimAtTheLimit() {
        ProbeSession s;
        QTreeWidgetItem item;
        s.SetTreeItem(&item);
        QSignalSpy lines(&s, &SessionItem::OnReceived);
        QSignalSpy resets(&s, &SessionItem::OnResetReceived);
        for (int i = 1; i <= 500; ++i)
            s.AppendRecvLine(QByteArray::number(i));
        QCOMPARE(s.GetReceivedLines().size(), 500);
        QCOMPARE(lines.count(), 500);
        QCOMPARE(resets.count(), 0);
        QCOMPARE(lines.last().at(0).value<QTreeWidgetItem*>(), &item);
        QCOMPARE(lines.last().at(1).toByteArray(), QByteArray("500"));

        s.AppendRecvLine("501");
        QCOMPARE(s.GetReceivedLines().size(), 251);
        QCOMPARE(s.GetReceivedLines().first(), QByteArray("251"));
        QCOMPARE(s.GetReceivedLines().last(), QByteArray("501"));
        QCOMPARE(lines.count(), 500);
        QCOMPARE(resets.count(), 1);
        QCOMPARE(resets.last().at(0).value<QTreeWidgetItem*>(), &item);

        // The next line after a trim is an ordinary append again.
        s.AppendRecvLine("502");
        QCOMPARE(s.GetReceivedLines().size(), 252);
        QCOMPARE(lines.count(), 501);
    }

    void receivePathCountsPayloadBytes() {
        ProbeSession s;
        QSignalSpy lines(&s, &SessionItem::OnReceived);
        s.Receive("hello");
        QCOMPARE(s.GetRecvTotal(), qint64(5));
        QCOMPARE(lines.count(), 1);
        QVERIFY(lines.last().at(1).toByteArray().endsWith("<=] hello"));
    }

    void clearResetsCountersAndAlwaysSignals() {
        ProbeSession s;
        QSignalSpy resets(&s, &SessionItem::OnResetReceived);
        s.ClearReceived();
        QCOMPARE(resets.count(), 1);

        s.now = 10000;
        s.Update();
        s.Receive("abc");
        s.now = 11001;
        s.Update();
        QCOMPARE(s.GetRecvRate(), qint64(3));
        s.AddRecvCount(4);
        s.ClearReceived();
        QCOMPARE(resets.count(), 2);
        QVERIFY(s.GetReceivedLines().isEmpty());
        QCOMPARE(s.GetRecvTotal(), qint64(0));
        QCOMPARE(s.GetRecvRate(), qint64(0));
        // The running second was zeroed too: the next roll-over reports nothing.
        s.now = 12002;
        s.Update();
        QCOMPARE(s.GetRecvRate(), qint64(0));
    }

    void rateRollsOverStrictlyAfterOneSecond() {
        ProbeSession s;
        s.now = 50000;
        s.Update();  // first window starts here
        s.AddRecvCount(7);
        s.now = 51000;  // exactly 1000 ms: the running count keeps growing
        s.Update();
        QCOMPARE(s.GetRecvRate(), qint64(0));
        s.AddRecvCount(3);
        s.now = 51001;
        s.Update();
        QCOMPARE(s.GetRecvRate(), qint64(10));
        QCOMPARE(s.GetRecvTotal(), qint64(10));

        // The new window started at 51001; a quiet window brings the rate to 0.
        s.now = 52001;
        s.Update();
        QCOMPARE(s.GetRecvRate(), qint64(10));
        s.now = 52002;
        s.Update();
        QCOMPARE(s.GetRecvRate(), qint64(0));
        QCOMPARE(s.GetRecvTotal(), qint64(10));
    }

    void historyDedupesCapsAndMovesItsIndex() {
        ProbeSession s;
        int index = -5;
        s.GetSendHistory(&index);
        QCOMPARE(index, 0);

        s.AddSendHistory("A");
        s.AddSendHistory("A");
        QCOMPARE(s.GetSendHistory().size(), 1);
        s.AddSendHistory("B");
        s.AddSendHistory("A");
        QCOMPARE(s.GetSendHistory(), QList<QByteArray>({"A", "B", "A"}));
        QCOMPARE((s.GetSendHistory(&index), index), 2);

        // A repeat of the newest entry leaves the recalled position alone.
        s.HistoryPrev();
        s.AddSendHistory("A");
        QCOMPARE((s.GetSendHistory(&index), index), 1);

        // Empty payloads are never merged.
        s.AddSendHistory("");
        s.AddSendHistory("");
        QCOMPARE(s.GetSendHistory().size(), 5);

        ProbeSession capped;
        for (int i = 1; i <= 21; ++i)
            capped.AddSendHistory(QByteArray::number(i));
        const QList<QByteArray>& history = capped.GetSendHistory(&index);
        QCOMPARE(history.size(), 20);
        QCOMPARE(history.first(), QByteArray("2"));
        QCOMPARE(history.last(), QByteArray("21"));
        QCOMPARE(index, 19);

        capped.HistoryNext();
        QCOMPARE((capped.GetSendHistory(&index), index), 19);
        for (int i = 0; i < 25; ++i)
            capped.HistoryPrev();
        QCOMPARE((capped.GetSendHistory(&index), index), 0);
        capped.HistoryNext();
        QCOMPARE((capped.GetSendHistory(&index), index), 1);
    }

    void historyIndexStaysInRangeWhenEmpty() {
        ProbeSession s;
        int index = -5;
        s.HistoryNext();
        s.HistoryPrev();
        s.GetSendHistory(&index);
        QCOMPARE(index, 0);
    }

    void hexLines_data() {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("content");
        QTest::newRow("empty") << QByteArray() << QString();
        QTest::newRow("0x05") << QByteArray("\x05", 1) << QString("05");
        QTest::newRow("0x0a 0xff") << QByteArray("\x0a\xff", 2) << QString("0a ff");
        QTest::newRow("zero byte") << QByteArray("\x00\x10", 2) << QString("00 10");
    }

    void hexLines() {
        QFETCH(QByteArray, payload);
        QFETCH(QString, content);
        ProbeSession s;
        s.SetHexMode(true);
        const QString line = QString::fromUtf8(s.FormatRecvLine(payload));
        const QRegularExpression shape("^\\[(\\d\\d):(\\d\\d):(\\d\\d) <=\\] (.*)$");
        const QRegularExpressionMatch m = shape.match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        QVERIFY(m.captured(1).toInt() < 24);
        QVERIFY(m.captured(2).toInt() < 60);
        QCOMPARE(m.captured(4), content);
    }

    void textLinesFollowTheCurrentEncoding() {
        ProbeSession s;
        CurrentEncoding = ENCODING_UTF16;
        const QByteArray line = s.FormatRecvLine(Utf16Bytes({0x4e2d, 0x0041}));
        QCOMPARE(line.size() % 2, 0);
        QVERIFY(BytesToText(line, ENCODING_UTF16).endsWith(QString::fromUtf8("<=] 中A")));

        CurrentEncoding = ENCODING_ASCII;
        QVERIFY(s.FormatRecvLine("caf\xe9").endsWith("<=] caf\xe9"));
    }

    void encodingsRoundTrip_data() {
        QTest::addColumn<int>("encoding");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("Default") << int(ENCODING_DEFAULT) << QString("hello 123")
                                 << QByteArray("hello 123");
        QTest::newRow("ASCII") << int(ENCODING_ASCII) << QString::fromUtf8("café\u00ff")
                               << QByteArray("caf\xe9\xff");
        QTest::newRow("UTF8") << int(ENCODING_UTF8) << QString::fromUtf8("中文")
                              << QByteArray("\xe4\xb8\xad\xe6\x96\x87");
        QTest::newRow("UTF16") << int(ENCODING_UTF16) << QString::fromUtf8("A中é")
                               << Utf16Bytes({0x0041, 0x4e2d, 0x00e9});
    }

    void encodingsRoundTrip() {
        QFETCH(int, encoding);
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        QCOMPARE(TextToBytes(text, encoding), bytes);
        QCOMPARE(BytesToText(bytes, encoding), text);
        CurrentEncoding = encoding;
        QCOMPARE(TextToBytes(text), bytes);
        QCOMPARE(BytesToText(bytes), text);
    }

    void latin1CoversEveryByte() {
        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all.append(char(i));
        const QString text = BytesToText(all, ENCODING_ASCII);
        QCOMPARE(text.size(), 256);
        QCOMPARE(text.at(0xe9), QChar(0xe9));
        QCOMPARE(TextToBytes(text, ENCODING_ASCII), all);
    }

    void utf16IgnoresALastOddByte() {
        QByteArray bytes = Utf16Bytes({0x0041, 0x0042});
        bytes.append('\x43');
        QCOMPARE(BytesToText(bytes, ENCODING_UTF16), QString("AB"));
        QCOMPARE(BytesToText(QByteArray("\x41", 1), ENCODING_UTF16), QString());
        QCOMPARE(BytesToText(QByteArray(), ENCODING_UTF16), QString());
        // Bytes that do not start on an even address decode the same.
        const QByteArray shifted = QByteArray("x") + Utf16Bytes({0x4e2d, 0x0041, 0x0042});
        QCOMPARE(BytesToText(shifted.mid(1), ENCODING_UTF16), QString::fromUtf8("中AB"));
    }

    void unknownIndexesBehaveAsDefault() {
        const QByteArray bytes("caf\xc3\xa9 \xe9");
        const QString text = QString::fromUtf8("caf\u00e9 \u4e2d");
        for (int encoding : {-1, 4, 99}) {
            QCOMPARE(BytesToText(bytes, encoding), QString::fromLocal8Bit(bytes));
            QCOMPARE(TextToBytes(text, encoding), text.toLocal8Bit());
        }
    }

    void iconsLoadFromResources() {
        const QIcon* icons[] = {&IconNetRun(),    &IconNetStop(),    &IconNetConnect(),
                                &IconServerRun(), &IconServerStop(), &IconSerialRun(),
                                &IconSerialStop()};
        for (const QIcon* icon : icons) {
            QVERIFY(!icon->isNull());
            QVERIFY(!icon->pixmap(16, 16).isNull());
        }
        QCOMPARE(&IconNetRun(), icons[0]);
        // Distinct states must look distinct.
        QVERIFY(IconNetRun().pixmap(16, 16).toImage() != IconNetStop().pixmap(16, 16).toImage());
    }
};

QTEST_MAIN(TestSessionItem)
#include "tst_sessionitem.moc"
