// The real window, offscreen, driven as a user would: what only the window does,
// then one flow per session kind against a real peer (for KCP also another process).
#include <uv.h>

#include "ByteText.h"
#include "Encoding.h"
#include "HostResolver.h"
#include "Settings.h"
#include "SettingsKeys.h"
#include "support/WindowDriver.h"

using namespace windowdriver;

namespace {

// The application's last argument, which the window reads when it is built.
char g_lastArg[8] = "-kcp";

// The second instance ("-peer PORT"): a KCP client that sends one line and waits for the answer.
int RunPeer(uint16_t port) {
    Window w;
    w.Create("KCP Client", "127.0.0.1", port);
    w.Press("startButton");
    WaitFor([&] { return w.Led() == kLedOn; }, 10000);
    w.Send("hello from the second instance");
    return WaitFor([&] { return w.LastLine().endsWith("<=] hello from the first"); }, 10000) ? 0 : 1;
}

// Answers at the next run: "peer.invalid" is 127.0.0.1, any other name is unknown.
struct TableResolver : HostResolver {
    QByteArray host;
    Done done;
    void Start(const QByteArray& name, const Done& then) override { host = name, done = then; }
    void Run() override {
        if (Done then = std::exchange(done, nullptr))
            then(host == "peer.invalid" ? "127.0.0.1" : "", "unknown node or service");
    }
    void Cancel() override { done = nullptr; }
};
HostResolver* Table() { return new TableResolver; }
const HostResolver::Factory kSystemResolver = HostResolver::factory;

}  // namespace

class TestWindow : public QObject {
    Q_OBJECT
private slots:
    void rootsFollowTheCommandLine_data() {
        QTest::addColumn<QString>("arg");
        QTest::addColumn<int>("roots");
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

    // The statistics line's units, and the Modbus CRC that F1 appends to hexadecimal text.
    void byteText_data() {
        QTest::addColumn<bool>("crc");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("output");
        QTest::newRow("1000 bytes") << false << "1000" << "1000b 1000b/s";
        QTest::newRow("1e6 bytes") << false << "1000000" << "1000.00Kb 1000.00Kb/s";
        QTest::newRow("2.5e6 bytes") << false << "2500000" << "2.50Mb 2.50Mb/s";
        QTest::newRow("crc appended") << true << "1 3 0 0 0 1" << "01 03 00 00 00 01 84 0a";
        QTest::newRow("crc already there") << true << "01 03 00 00 00 01 84 0a" << "";
        QTest::newRow("odd digits, junk") << true << "123 zz" << "01 23 41 f9";
    }
    void byteText() {
        QFETCH(bool, crc);
        QFETCH(QString, input);
        QFETCH(QString, output);
        const qint64 count = input.toLongLong();
        QCOMPARE(crc ? WithModbusCrc(input) : FormatBytes(count, false) + " " + FormatBytes(count, true), output);
    }

    // An unconnected client: panel, not-ready line, history, F1, receive view.
    void sendBoxAndViewOfAnUnconnectedClient() {
        Window w;
        SessionItem* session = SessionItem::FromTreeItem(w.Create("TCP Client", "127.0.0.1", testnet::FreePort()));
        QCOMPARE(w.start->text() + w.closeButton->text() + w.Led(), QString("连接断开background-color: #CDCDCD"));
        QVERIFY(w.start->isEnabled() && !w.closeButton->isEnabled());
        for (const char* text : {"one", "two", "three"})
            w.Send(text);
        QCOMPARE(w.recv->toPlainText(), QString("Error : client is disconnected\n").repeated(3));
        for (Qt::Key key : {Qt::Key_Up, Qt::Key_Up, Qt::Key_Up})
            QTest::keyClick(w.send, key);
        QCOMPARE(w.send->toPlainText(), QString("one"));
        for (Qt::Key key : {Qt::Key_Down, Qt::Key_Down, Qt::Key_Down})
            QTest::keyClick(w.send, key);
        QCOMPARE(w.send->toPlainText(), QString("three"));
        w.Type("1 3 0 0 0 1");
        QTest::keyClick(w.send, Qt::Key_F1);  // hexadecimal mode only
        QCOMPARE(w.send->toPlainText(), QString("1 3 0 0 0 1"));
        w.hex->setChecked(true);
        QTest::keyClick(w.send, Qt::Key_F1);
        QCOMPARE(w.send->toPlainText(), QString("01 03 00 00 00 01 84 0a"));
        // An overlong line is shortened in the view only; clearing rebuilds the view.
        session->AppendRecvLine(SessionLine(QString(35000, 'x')));
        QTRY_COMPARE(w.LastLine(), QString(16384, 'x') + " … [35000 characters, shortened in this view]");
        session->AppendRecvLine(SessionLine("not shown yet"));
        w.Press("clearButton");
        QCOMPARE(w.recv->toPlainText(), QString());
        // Lines between ticks go in at the next: the oldest leave in one removal, new ones come in one insert.
        int changes = 0;
        for (int i = 1; i <= 600; ++i) {  // the session drops 1 to 250 at 501
            session->AppendRecvLine(SessionLine(QString::number(i) + "\r\n"));  // two characters, one break
            if (i == 400 && WaitFor([&] { return w.LastLine() == "400"; }))
                QObject::connect(w.recv->document(), &QTextDocument::contentsChange, [&] { ++changes; });
        }
        QVERIFY(WaitFor([&] { return w.LastLine() == "600"; }) && changes == 2);
        QVERIFY(w.Lines().size() == 350 && w.Lines().first() == "251");
    }

    // A failed start shows the session's own text; a cancelled dialog creates nothing.
    void errorBoxShowsTheSessionsText() {
        Window w;
        QString shown;
        CatchMessage(&shown);
        QTreeWidgetItem* server = w.Create("TCP Server", "999.1.2.3", 5555);
        QVERIFY(WaitFor([&] { return shown == "invalid local address 999.1.2.3"; }));
        QVERIFY(server->parent() != nullptr && w.start->isEnabled() && !w.closeButton->isEnabled());
        CatchMessage(&shown);
        w.Create("TCP Client", "127.0.0.1", 70000);
        w.Press("startButton");
        QVERIFY(WaitFor([&] { return shown == "invalid remote port 70000"; }));
        w.Create("UDP", {}, nullptr);
        QCOMPARE(w.Root("UDP")->childCount(), 0);
    }

    // A typed name is looked up on start (through the table, "localhost" for
    // real): failed, stopped, connected, deleted while looked up.
    void hostNamesAreLookedUpWhenStarted() {
        uint16_t port = 0;
        const int listener = testnet::Listen(&port);
        Window w;
        w.Create("TCP Client", "nowhere.invalid", port);
        w.Press("startButton");
        QVERIFY(WaitFor([&] { return w.LastLine() == "Error : cannot resolve host nowhere.invalid: unknown node or service"; }));
        QVERIFY(w.Led().endsWith("#CDCDCD") && w.start->isEnabled());
        w.Create("TCP Client", "peer.invalid", port);
        w.Press("startButton");
        QCOMPARE(w.Label("L12label") + w.Led(), QString("peer.invalid（解析中）background-color: #FFFF00"));
        w.Press("closeButton");
        // Stopped while looked up: nothing connects later.
        QVERIFY(w.start->isEnabled() && !WaitFor([&] { return testnet::Readable(listener, 0); }, 100));
        w.Press("startButton");
        QVERIFY(WaitFor([&] { return w.Led() == kLedOn; }) && w.Label("L12label") == "127.0.0.1");
        HostResolver::factory = kSystemResolver;
        w.Create("TCP Client", "localhost", port);
        w.Press("startButton");
        w.Press("deleteButton");  // its lookup ends after it: the sanitizer run sees any write into it
        w.Create("TCP Client", "localhost", port);
        w.Press("startButton");
        QVERIFY(WaitFor([&] { return w.Led() == kLedOn && (net_poll(), !uv_loop_alive(uv_default_loop())); }));
        HostResolver::factory = Table;
        close(listener);
    }

    void serverAndClientInOneWindow_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("serverEnd");  // the button that ends a connection on the server's side
        QTest::newRow("tcp") << "TCP" << "closeButton";
        QTest::newRow("kcp") << "KCP" << "deleteButton";
    }
    void serverAndClientInOneWindow() {
        QFETCH(QString, kind);
        QFETCH(QString, serverEnd);
        Window w;
        const uint16_t port = testnet::FreePort();
        // A server starts at once, compact; a client connects on start, stoppable meanwhile.
        QTreeWidgetItem* server = w.Create(kind + " Server", "127.0.0.1", port);
        QVERIFY(w.Led() == kLedOn && !w.start->isEnabled() && w.closeButton->isEnabled());
        QVERIFY(w.window.findChild<QWidget*>("stateGroup")->isVisible() && !w.recv->isVisible());
        QTreeWidgetItem* client = w.Create(kind + " Client", "127.0.0.1", port);
        w.Press("startButton");
        QVERIFY(w.Led() == "background-color: #FFFF00" && !w.start->isEnabled() && w.closeButton->isEnabled());
        auto connected = [&] { return w.Led() == kLedOn && server->childCount() == 1; };  // the client shown
        QVERIFY(WaitFor(connected));
        QTreeWidgetItem* child = server->child(0);
        QCOMPARE(w.Label("L14label") + child->text(0), QString::number(port) + "127.0.0.1:" + w.Label("L24label"));

        // Lines of a session not shown stay out of the view; each keeps its send box.
        w.Send("ping");
        QVERIFY(WaitFor([&] { return SessionItem::FromTreeItem(child)->GetReceivedLines().size() == 1; }));
        QVERIFY(w.Lines().size() == 1 && w.LastLine().endsWith("=>] ping"));
        w.Click(child);
        QVERIFY(w.Lines().size() == 1 && w.LastLine().endsWith("<=] ping") && w.send->toPlainText().isEmpty());
        w.Send("pong");
        w.Click(client);
        QCOMPARE(w.send->toPlainText(), QString("ping"));
        QVERIFY(WaitFor([&] { return w.LastLine().endsWith("<=] pong"); }));
        QTRY_VERIFY(w.Label("infoLabel").startsWith("收：4b\t"));

        // Closed by the client, the connection leaves; closed or deleted by the server, it ends.
        w.Press("closeButton");
        QVERIFY(WaitFor([&] { return w.Led().endsWith("#CDCDCD") && server->childCount() == 0; }));
        w.Press("startButton");
        QVERIFY(WaitFor(connected));
        w.Click(server->child(0));
        w.Press(qPrintable(serverEnd));
        QVERIFY(server->childCount() == 0 && w.Current() == server);
        QTRY_COMPARE(client->icon(0).cacheKey(), IconNetStop().cacheKey());
        w.Click(client);
        w.Press("startButton");
        QVERIFY(WaitFor(connected));
        w.Click(server);
        w.Press("deleteButton");
        QTRY_COMPARE(client->icon(0).cacheKey(), IconNetStop().cacheKey());
        w.Click(client);
        w.Press("deleteButton");
        QCOMPARE(w.Root(kind + " Server")->childCount() + w.Root(kind + " Client")->childCount(), 0);
    }

    void kcpWithASecondInstanceAsThePeer() {
        Window w;
        QTreeWidgetItem* server = w.Create("KCP Server", "127.0.0.1", testnet::FreePort());
        QProcess peer;
        peer.start(QCoreApplication::applicationFilePath(), {"-peer", server->text(0).section(':', 1)});
        QVERIFY(WaitFor([&] { return server->childCount() == 1; }, 30000));
        QCOMPARE(w.Current(), server->child(0));  // a connection to the server shown is shown
        QVERIFY(WaitFor([&] { return w.LastLine().endsWith("<=] hello from the second instance"); }));
        w.Send("hello from the first");
        QVERIFY(WaitFor([&] { return peer.state() == QProcess::NotRunning; }, 30000) && peer.exitCode() == 0);
    }

    void udpOnLoopback() {
        GetSettings()->remove("VIEW_MILLISECONDS");
        testnet::UdpPeer peer;
        const QString local = QString::number(testnet::FreeUdpPort());
        Window w;
        QTreeWidgetItem* item = w.Create("UDP", {"ipLineEdit", "peer.invalid", "portLineEdit",
                                                 QString::number(peer.Port()), "localIPLineEdit", "127.0.0.1",
                                                 "localPortLineEdit", local});
        QVERIFY(WaitFor([&] { return w.Led() == kLedOn; }));  // the remote is looked up first
        QCOMPARE(item->text(0) + " " + w.Label("L24label"), QString("peer.invalid:%1 ").arg(peer.Port()) + local);
        w.hex->setChecked(true);
        w.Send("68 69");
        bool ok = false;
        QCOMPARE(peer.Receive(&ok, 3000, [] { QTest::qWait(5); }), std::string("hi"));
        QVERIFY(peer.SendTo("ok", "127.0.0.1", local.toUShort()));
        QVERIFY(WaitFor([&] { return w.LastLine().endsWith("<=] 6f 6b"); }));
        // Milliseconds on: the lines shown are formatted again; the choice is kept.
        const QString line = "\\[\\d\\d:\\d\\d:\\d\\d%1 =>\\] 68 69\n\\[\\d\\d:\\d\\d:\\d\\d%1 <=\\] 6f 6b\n";
        QVERIFY(QRegularExpression("^" + line.arg("") + "$").match(w.recv->toPlainText()).hasMatch());
        w.window.findChild<QCheckBox*>("msCheckBox")->setChecked(true);
        QVERIFY(QRegularExpression("^" + line.arg("\\.\\d{3}") + "$").match(w.recv->toPlainText()).hasMatch());
        QCOMPARE(SettingInt(VIEW_MILLISECONDS), 1);
        QTRY_VERIFY(w.Label("infoLabel").endsWith("\t丢包：0"));  // UDP counts what the system dropped
    }

    // Through a loopback peer: a 1 ms repeat delivers its count exactly and is
    // kept once in the history; a file beyond the transport's send queue,
    // chosen from the session menu, arrives whole and in order; the peer's
    // close ends a repeat that has no count.
    void repeatedAndFileSends() {
        testnet::Watchdog watchdog(120);
        uint16_t port = 0;
        const int listener = testnet::Listen(&port);
        Window w;
        QTreeWidgetItem* item = w.Create("TCP Client", "127.0.0.1", port);
        w.Press("startButton");
        int peer = -1;
        QVERIFY(WaitFor([&] { return w.Led() == kLedOn && (peer >= 0 || (peer = testnet::Accept(listener)) >= 0); }));
        auto* repeat = w.window.findChild<QPushButton*>("repeatButton");
        w.window.findChild<QSpinBox*>("periodSpinBox")->setValue(1);
        w.window.findChild<QSpinBox*>("countSpinBox")->setValue(50);
        w.Type("x");
        w.Press("repeatButton");
        QCOMPARE(repeat->text(), QString("停止发送"));
        std::string got;
        QVERIFY(WaitFor([&] { return (got += testnet::ReadSome(peer)).size() >= 50 && repeat->text() == "定时发送"; }));
        QTest::qWait(50);
        QCOMPARE(got + testnet::ReadSome(peer), std::string(50, 'x'));
        QCOMPARE(SessionItem::FromTreeItem(item)->GetSendHistory().size(), 1);

        QTemporaryDir dir;
        QFile file(dir.filePath("pattern"));
        QVector<quint32> block(1 << 18);  // 1 MiB; every 4 bytes hold their own index in the file
        QVERIFY(file.open(QIODevice::WriteOnly));
        for (quint32 b = 0; b < 80; ++b) {
            for (int i = 0; i < block.size(); ++i)
                block[i] = b << 18 | quint32(i);
            file.write(reinterpret_cast<const char*>(block.constData()), 1 << 20);
        }
        file.close();
        WhenModal<QFileDialog>([&](QFileDialog* dialog) {  // the whole path: the dialog's folder loads later
            dialog->findChild<QLineEdit*>("fileNameEdit")->setText(file.fileName());
            static_cast<QDialog*>(dialog)->accept();
        });
        QTimer::singleShot(100, [] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            for (QAction* action : menu != nullptr ? menu->actions() : QList<QAction*>())
                action->text() == "发送文件…" ? action->trigger() : void();
            if (menu != nullptr)
                menu->close();
        });
        emit w.tree->customContextMenuRequested(w.tree->visualItemRect(item).center());
        quint32 word = 0;
        bool inOrder = true;
        std::string tail;
        QVERIFY(WaitFor([&] {
            size_t i = 0;
            for (tail += testnet::ReadSome(peer); i + 4 <= tail.size(); i += 4, ++word)
                inOrder = inOrder && memcmp(tail.data() + i, &word, 4) == 0;
            tail.erase(0, i);
            return word == 20u << 20;
        }, 30000));
        QVERIFY(inOrder && WaitFor([&] { return w.LastLine() == "文件已发送：83886080 字节"; }));

        w.window.findChild<QSpinBox*>("countSpinBox")->setValue(0);
        w.Press("repeatButton");
        QTest::qWait(20);
        close(peer);
        QVERIFY(WaitFor([&] { return repeat->text() == "定时发送"; }) && w.Led() != kLedOn);
        QTest::qWait(50);  // it ended with the connection: no send is tried after it
        QVERIFY(!w.recv->toPlainText().contains("client is disconnected"));
        close(listener);
    }

    // A vanished far end is noticed without a send: the view says so, the panel shows the port closed.
    void serialOnAPseudoTerminal() {
        const int far = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(far >= 0 && grantpt(far) == 0 && unlockpt(far) == 0);
        const QString path = ptsname(far);
        Window w;
        w.Create("SerialPort", {"nameComboBox", path, "buardrateLineEdit", "19200"});
        QCOMPARE(w.Label("L12label") + w.Label("L14label") + w.start->text() + w.Led(), path + "19200打开" + kLedOn);
        QCOMPARE(write(far, "abc", 3), ssize_t(3));
        QVERIFY(WaitFor([&] { return w.LastLine().endsWith("<=] abc"); }));
        close(far);
        QVERIFY(WaitFor([&] { return w.LastLine() == "Error : com is disconnected"; }));
        QVERIFY(w.Led() == "background-color: #CDCDCD" && w.start->isEnabled());
        w.Send("again");
        QCOMPARE(w.LastLine(), QString("Error : com is unavailable"));
    }
};

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);  // as in the program; QtTest's crash handler would take it first
    QVector<char*> args(argv, argv + argc);
    args.append(g_lastArg);
    int count = (int)args.size();
    QApplication app(count, args.data());
    HostResolver::factory = Table;  // no test asks the system but for "localhost"
    if (argc == 3 && qstrcmp(argv[1], "-peer") == 0)
        return RunPeer((uint16_t)atoi(argv[2]));
    TestWindow test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_window.moc"
