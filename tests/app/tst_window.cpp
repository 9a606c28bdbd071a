// The real window on the offscreen platform, driven as a user would: first
// what only the window does, then one flow per session kind against a real
// peer (TCP or KCP server and client in one window, KCP against a second
// instance of the window, UDP on loopback, the serial port on a pseudo-terminal).
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <vector>

#include "ByteText.h"
#include "Encoding.h"
#include "Settings.h"
#include "support/WindowDriver.h"

using namespace windowdriver;

namespace {

// The application's last argument, which the window reads when it is built.
char g_lastArg[8] = "-kcp";

// Set in a re-launched copy of this program: it is the second instance, a KCP
// client of the first one's server at this port.
const char kPeerEnv[] = "MAROVENT_TST_KCP_PEER";

// The second instance: sends one line and waits for the answer.
int RunPeer(uint16_t port) {
    Window w;
    w.Create("KCP Client", "127.0.0.1", port);
    w.Press("startButton");
    if (!WaitFor([&] { return w.Led() == kLedOn; }, 10000))
        return 3;
    w.Send("hello from the second instance");
    return WaitFor([&] { return w.LastLine().endsWith("<=] hello from the first"); }, 10000) ? 0 : 4;
}

}  // namespace

class TestWindow : public QObject {
    Q_OBJECT
private slots:
    void rootsFollowTheCommandLine_data() {
        QTest::addColumn<QString>("arg");
        QTest::addColumn<int>("roots");
        QTest::newRow("none") << "-" << 4;
        QTest::newRow("-KCP") << "-KCP" << 4;
        QTest::newRow("-kcp") << "-kcp" << 6;
    }
    void rootsFollowTheCommandLine() {
        QFETCH(QString, arg);
        QFETCH(int, roots);
        qstrcpy(g_lastArg, arg.toLatin1().constData());
        QCOMPARE(Window().tree->topLevelItemCount(), roots);
    }

    // An index out of range gives the first; the choice is stored on close.
    void encodingSavedOnCloseAndRestored() {
        GetSettings()->setValue("ENCODING", "4");
        for (int restored : {0, 3}) {
            Window w;
            auto* combo = w.window.findChild<QComboBox*>("encodingComboBox");
            QCOMPARE(combo->currentIndex(), restored);
            QCOMPARE(CurrentEncoding, restored);
            combo->setCurrentIndex(ENCODING_UTF16);
            QVERIFY(w.window.close());
            QCOMPARE(GetSettings()->value("ENCODING").toString(), QString("3"));
        }
        GetSettings()->remove("ENCODING");
    }

    void statisticsUnits_data() {
        QTest::addColumn<qint64>("value");
        QTest::addColumn<QString>("total");
        QTest::newRow("1000") << qint64(1000) << "1000b";
        QTest::newRow("1001") << qint64(1001) << "1.00Kb";
        QTest::newRow("1000000") << qint64(1000000) << "1000.00Kb";
        QTest::newRow("2500000") << qint64(2500000) << "2.50Mb";
    }
    void statisticsUnits() {
        QFETCH(qint64, value);
        QFETCH(QString, total);
        QCOMPARE(FormatBytes(value, false) + FormatBytes(value, true), total + total + "/s");
    }

    // The send text in hexadecimal, its bytes, and what F1 makes of it.
    void hexTextAndModbusCrc_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("withCrc");
        QTest::newRow("request") << "1 3 0 0 0 1" << QByteArray::fromHex("010300000001") << "01 03 00 00 00 01 84 0a";
        QTest::newRow("has its crc") << "01 03 00 00 00 01 84 0a" << QByteArray::fromHex("010300000001840a") << "";
        QTest::newRow("odd digits, junk") << "123 zz" << QByteArray::fromHex("0123") << "01 23 41 f9";
        QTest::newRow("one byte") << "01" << QByteArray::fromHex("01") << "";
    }
    void hexTextAndModbusCrc() {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, withCrc);
        QCOMPARE(ParseHexText(text), bytes);
        QCOMPARE(WithModbusCrc(text), withCrc);
    }

    // A client not yet connected: its panel, the not-ready line, the history
    // on Up and Down, F1 in hexadecimal mode only, and the receive view.
    void sendBoxAndViewOfAnUnconnectedClient() {
        Window w;
        SessionItem* session = SessionItem::FromTreeItem(w.Create("TCP Client", "127.0.0.1", testnet::FreePort()));
        QCOMPARE(w.start->text() + w.closeButton->text() + w.Led(), "连接断开" + kLedOff);
        QVERIFY(w.start->isEnabled() && !w.closeButton->isEnabled());
        for (const char* text : {"one", "two", "three"})
            w.Send(text);
        QCOMPARE(w.recv->toPlainText(), QString("Error : client is disconnected\n").repeated(3));
        for (Qt::Key key : {Qt::Key_Up, Qt::Key_Up, Qt::Key_Up})
            QTest::keyClick(w.send, key);
        QCOMPARE(w.send->toPlainText(), QString("one"));
        for (Qt::Key key : {Qt::Key_Down, Qt::Key_Down, Qt::Key_Down})
            QTest::keyClick(w.send, key);
        QCOMPARE(w.send->toPlainText() + QString::number(w.send->textCursor().position()), QString("three5"));
        w.Type("1 3 0 0 0 1");
        QTest::keyClick(w.send, Qt::Key_F1);
        QCOMPARE(w.send->toPlainText(), QString("1 3 0 0 0 1"));
        w.hex->setChecked(true);
        QTest::keyClick(w.send, Qt::Key_F1);
        QCOMPARE(w.send->toPlainText(), QString("01 03 00 00 00 01 84 0a"));
        // An overlong line is shortened in the view only; clearing rebuilds the view.
        session->AppendRecvLine(QByteArray(70000, 'x'));
        QVERIFY(w.LastLine().endsWith(" … [70000 bytes, shortened in this view]") && w.LastLine().size() < 17000);
        QCOMPARE(session->GetReceivedLines().last().size(), 70000);
        w.Press("clearButton");
        QCOMPARE(w.recv->toPlainText(), QString());
    }

    // A start that fails shows the session's own text and leaves it stopped,
    // ready for the start button. A cancelled dialog creates nothing.
    void errorBoxShowsTheSessionsText() {
        Window w;
        QString shown;
        CatchMessage(&shown);
        QTreeWidgetItem* server = w.Create("TCP Server", "999.1.2.3", 5555);
        QVERIFY(WaitFor([&] { return shown == "invalid local address 999.1.2.3"; }));
        QCOMPARE(server->icon(0).cacheKey(), IconServerStop().cacheKey());
        QVERIFY(w.start->isEnabled() && !w.closeButton->isEnabled());
        CatchMessage(&shown);
        w.Create("TCP Client", "127.0.0.1", 70000);
        w.Press("startButton");
        QVERIFY(WaitFor([&] { return shown == "invalid remote port 70000"; }));
        w.Create("UDP", {}, nullptr);
        QCOMPARE(w.Root("UDP")->childCount(), 0);
    }

    void serverAndClientInOneWindow_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("tcp") << "TCP";
        QTest::newRow("kcp") << "KCP";
    }
    void serverAndClientInOneWindow() {
        QFETCH(QString, kind);
        Window w;
        const uint16_t port = testnet::FreePort();
        // A server starts at once and shows the compact panel.
        QTreeWidgetItem* server = w.Create(kind + " Server", "127.0.0.1", port);
        QVERIFY(w.Led() == kLedOn && !w.start->isEnabled() && w.closeButton->isEnabled());
        QVERIFY(w.window.findChild<QWidget*>("stateGroup")->isVisible() && !w.recv->isVisible());
        // A client connects on the start button, and may be stopped while it tries.
        QTreeWidgetItem* client = w.Create(kind + " Client", "127.0.0.1", port);
        w.Press("startButton");
        QCOMPARE(w.Led(), QString("background-color: #FFFF00"));
        QVERIFY(!w.start->isEnabled() && w.closeButton->isEnabled());
        QVERIFY(WaitFor([&] { return w.Led() == kLedOn && server->childCount() == 1; }));
        QCOMPARE(w.Label("L14label"), QString::number(port));
        QTreeWidgetItem* child = server->child(0);
        QCOMPARE(child->text(0), "127.0.0.1:" + w.Label("L24label"));

        // What the connection receives stays out of the view until it is shown.
        w.Send("ping");
        QVERIFY(WaitFor([&] { return SessionItem::FromTreeItem(child)->GetReceivedLines().size() == 1; }));
        QCOMPARE(w.Lines().size(), 1);
        QVERIFY(w.LastLine().endsWith("=>] ping"));
        w.Click(child);
        QVERIFY(w.Lines().size() == 1 && w.LastLine().endsWith("<=] ping"));
        w.Send("pong");
        w.Click(client);
        QVERIFY(WaitFor([&] { return w.LastLine().endsWith("<=] pong"); }));
        QTRY_VERIFY(w.Label("infoLabel").startsWith("收：4b\t"));

        // Closed by the client, the connection leaves the server; closed on the
        // server's side, it ends for the client.
        w.Press("closeButton");
        QCOMPARE(w.Led(), kLedOff);
        QVERIFY(WaitFor([&] { return server->childCount() == 0; }));
        w.Press("startButton");
        QVERIFY(WaitFor([&] { return server->childCount() == 1; }));
        w.Click(server->child(0));
        w.Press("closeButton");
        QVERIFY(server->childCount() == 0 && w.Current() == server);
        QTRY_COMPARE(client->icon(0).cacheKey(), IconNetStop().cacheKey());
        // Deleted with a connection, the server ends it first.
        w.Click(client);
        w.Press("startButton");
        QVERIFY(WaitFor([&] { return server->childCount() == 1; }));
        w.Click(server);
        w.Press("deleteButton");
        QCOMPARE(w.Root(kind + " Server")->childCount(), 0);
        QTRY_COMPARE(client->icon(0).cacheKey(), IconNetStop().cacheKey());
        w.Click(client);
        w.Press("deleteButton");
        QCOMPARE(w.Root(kind + " Client")->childCount(), 0);
    }

    // A connection to the server shown becomes the item shown.
    void kcpWithASecondInstanceAsThePeer() {
        Window w;
        QTreeWidgetItem* server = w.Create("KCP Server", "127.0.0.1", testnet::FreePort());
        QProcess peer;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(kPeerEnv, server->text(0).section(':', 1));
        peer.setProcessEnvironment(env);
        peer.start(QCoreApplication::applicationFilePath(), QStringList());
        QVERIFY(WaitFor([&] { return server->childCount() == 1; }, 30000));
        QCOMPARE(w.Current(), server->child(0));
        QVERIFY(WaitFor([&] { return w.LastLine().endsWith("<=] hello from the second instance"); }));
        w.Send("hello from the first");
        QVERIFY(WaitFor([&] { return peer.state() == QProcess::NotRunning; }, 30000));
        QCOMPARE(peer.exitCode(), 0);
        QVERIFY(WaitFor([&] { return server->childCount() == 0; }));
    }

    void udpOnLoopback() {
        testnet::UdpPeer peer;
        const QString local = QString::number(testnet::FreeUdpPort());
        Window w;
        QTreeWidgetItem* item = w.Create("UDP", {"ipLineEdit", "127.0.0.1", "portLineEdit", QString::number(peer.Port()),
                                                 "localIPLineEdit", "127.0.0.1", "localPortLineEdit", local});
        QCOMPARE(item->text(0) + " " + w.Label("L24label"), QString("127.0.0.1:%1 ").arg(peer.Port()) + local);
        w.Send("hello peer");
        bool ok = false;
        QCOMPARE(peer.Receive(&ok, 3000, [] { QTest::qWait(5); }), std::string("hello peer"));
        QVERIFY(peer.SendTo("hello window", "127.0.0.1", local.toUShort()));
        QVERIFY(WaitFor([&] { return w.LastLine().endsWith("<=] hello window"); }));
    }

    void serialOnAPseudoTerminal() {
        const int far = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(far >= 0 && grantpt(far) == 0 && unlockpt(far) == 0);
        const QString path = ptsname(far);
        Window w;
        QTreeWidgetItem* item = w.Create("SerialPort", {"nameComboBox", path, "buardrateLineEdit", "19200"});
        QCOMPARE(item->text(0), path + ":19200");
        QCOMPARE(w.Label("L11label") + w.Label("L12label") + w.Label("L13label") + w.Label("L14label"),
                 "串口：" + path + "波特率：19200");
        QCOMPARE(w.start->text() + w.Led(), "打开" + kLedOn);
        QCOMPARE(write(far, "abc", 3), ssize_t(3));
        QVERIFY(WaitFor([&] { return w.LastLine().endsWith("<=] abc"); }));
        w.Press("closeButton");
        QCOMPARE(item->icon(0).cacheKey(), IconSerialStop().cacheKey());
        w.Send("late");
        QCOMPARE(w.LastLine(), QString("Error : com is unavailable"));
        close(far);
    }
};

int main(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    args.push_back(g_lastArg);
    int count = (int)args.size();
    QApplication app(count, args.data());
    if (qEnvironmentVariableIsSet(kPeerEnv))
        return RunPeer((uint16_t)qEnvironmentVariableIntValue(kPeerEnv));
    TestWindow test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_window.moc"
