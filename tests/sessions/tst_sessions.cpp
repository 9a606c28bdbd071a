// The sessions below the window: the base rules (on the fake server), the one address
// path, the client and server templates over a fake transport, and the UDP session's
// start on real sockets. A flow against a real peer, one per kind, is the window tests'.
#include <QTreeWidgetItem>
#include <QtTest>

#include "Encoding.h"
#include "FileSender.h"
#include "SessionCapture.h"
#include "SessionAddress.h"
#include "SessionItemClientOf.h"
#include "SessionItemServerOf.h"
#include "SessionItemUDPClient.h"
#include "support/Net.h"

// The fake transport: handles are small integers in pointer form, each call is
// logged, and the test plays the callbacks itself on the user pointer it was given.
struct Conn;
Conn* H(int n) { return reinterpret_cast<Conn*>(quintptr(n)); }
QStringList calls;
void* user;

QString Text(const sockaddr* address) {
    auto* in = reinterpret_cast<const sockaddr_in*>(address);
    return QString("%1:%2").arg(inet_ntoa(in->sin_addr)).arg(ntohs(in->sin_port));
}

typedef void (*ClientRecv)(const char*, int64_t, void*);
// Destroying reports the connection gone, as a real teardown may.
const ClientOps<Conn*, ClientRecv> kClientOps = {
    [](int mode) { calls << QString("create %1").arg(mode); return H(77); },
    [](Conn*) { calls << "destroy"; SessionItemClient::OnTransportDisconnect(user); },
    [](Conn*, void* u) { user = u; }, [](Conn*, auto) {}, [](Conn*, auto) {}, [](Conn*, auto) {}, nullptr,
    [](Conn*, const sockaddr* to, int ms) { calls << QString("start %1 %2").arg(Text(to)).arg(ms); },
    [](Conn*, int) { calls << "run"; },
    [](Conn*) { calls << "close"; },
    [](Conn*, const char* data, int n) { calls << "send " + QString::fromLatin1(data, n); return n; },
    [](Conn*, sockaddr* out) { return net_ip_to_addr("127.0.0.1", 4000, out); },
    [](Conn*, sockaddr* out) { return net_ip_to_addr("127.0.0.9", 5000, out); }, nullptr,
};

struct Client : SessionItemClientOf<Conn*, ClientRecv> {
    explicit Client(Conn* accepted = nullptr) : SessionItemClientOf("Client", kClientOps, 3, accepted, 1, 2) {}
    void EmitConnectResult(bool ok) override { calls << (ok ? "connected" : "not connected"); }
    void EmitDisconnected() override { calls << "disconnected"; }
};

typedef SessionItemServerOf<Conn*, Client, int, void (*)(Conn*, const char*, int, void*)> ServerBase;
// Destroying reports a new connection and a lost one, as a real teardown may.
const ServerBase::Ops kServerOps = {
    [](int mode) { calls << QString("server create %1").arg(mode); return 1; },
    [](int) {
        calls << "server destroy";
        ServerBase::OnTransportAccepted(H(9), user), ServerBase::OnTransportClosed(H(1), user);
    },
    [](int, void* u) { user = u; }, [](int, auto) {}, [](int, auto) {}, [](int, auto) {}, nullptr,
    [](int, const sockaddr*) { return 0; }, [](int) { calls << "stop"; }, [](int, int) {},
};

// A server session on a clock the test sets, playing the window's part too: each
// accepted connection becomes a child (owned by the server), deleted on disconnect.
struct Server : ServerBase {
    explicit Server(unsigned holdMs = 1000) : ServerBase("Server", kServerOps, 4, holdMs) {}
    int GetType() override { return 0; }
    Client* NewChild(Conn* c) override { auto* child = new Client(c); child->setParent(this); return child; }
    Client* Child(int n) { return static_cast<Client*>(FromTreeItem(ItemOf(H(n)))); }
    quint64 ClockNow() const override { return now; }
    QByteArray PeerKey(Conn* c) override { return keys.value(c); }
    void EmitClientConnected(Conn* c) override {
        calls << QString("accepted %1").arg(quintptr(c));
        auto* item = new QTreeWidgetItem(&root);
        StoreInTreeItem(item, NewChild(c));
        AddClient(c, item);
    }
    void EmitClientDisconnected(QTreeWidgetItem* item, Conn* c) override {
        calls << QString("dropped %1%2").arg(quintptr(c)).arg(IsRunning() ? " running" : "");
        if (RemoveClient(c))
            delete FromTreeItem(item), delete item;
    }
    QTreeWidgetItem root;
    quint64 now = 0;
    QMap<Conn*, QByteArray> keys;  // tells a peer from a later one on the same handle
};

void Accept(int n) { ServerBase::OnTransportAccepted(H(n), user); }
void Data(int n, const QByteArray& data) { ServerBase::OnTransportData(user, H(n), data.constData(), data.size()); }
QByteArray ReadFile(const QString& path) { QFile f(path); return f.open(QIODevice::ReadOnly) ? f.readAll() : "none"; }
bool Shows(SessionItem* s, int line, const char* text) { return s->GetReceivedLines().value(line).Text().endsWith(text); }

class TestSessions : public QObject {
    Q_OBJECT
private slots:
    void init() { CurrentEncoding = ENCODING_UTF8, calls.clear(); }

    void linesTrimFrom500To250InOneStep() {
        Server s;
        int lines = 0, trimmed = 0;
        QObject::connect(&s, &SessionItem::OnReceived, [&] { ++lines; });
        QObject::connect(&s, &SessionItem::OnTrimmedReceived, [&](QTreeWidgetItem*, int n) { trimmed += n; });
        for (int i = 1; i <= 502; ++i)
            s.AppendRecvLine(SessionLine(QString::number(i)));
        QVERIFY(lines == 502 && trimmed == 250);
        QVERIFY(s.GetReceivedLines().size() == 252 && s.GetReceivedLines().first().Text() == "251");
    }

    // A line keeps a bounded share of a huge chunk and says its size, and reads
    // later as it did on arrival; an empty chunk shows nothing; the counters count every byte.
    void receivedLinesAreBoundedBySizeAndEmptyChunksShowNothing() {
        Client c;
        c.OnTransportData(static_cast<SessionItemClient*>(&c), "", 0);
        const QByteArray big(3 * SessionItem::kMaxLinePayload, 'x');
        c.OnTransportData(static_cast<SessionItemClient*>(&c), big.constData(), big.size());
        QCOMPARE(c.GetReceivedLines().size(), 1);
        const QString line = c.GetReceivedLines().first().Text();
        QVERIFY(line.count('x') == SessionItem::kMaxLinePayload && line.endsWith(" [12288 bytes]"));
        c.SetHexMode(true), CurrentEncoding = ENCODING_UTF16;
        QCOMPARE(c.GetReceivedLines().first().Text(), line);
        QCOMPARE(c.GetRecvTotal(), qint64(big.size()));
    }

    void rateRollsOverStrictlyAfterOneSecond() {
        Server s;
        auto rateAt = [&](quint64 now) { s.now = now; s.Update(); return s.GetRecvRate(); };
        rateAt(50000);  // the first window starts here
        s.AddRecvCount(7);
        QCOMPARE(rateAt(51000), qint64(0));  // exactly a second: the same window
        QCOMPARE(rateAt(51001), qint64(7));
        QCOMPARE(rateAt(52002), qint64(0));  // a quiet one
        s.AddRecvCount(4);
        s.ClearReceived();
        QVERIFY(rateAt(53003) == 0 && s.GetRecvTotal() == 0);  // the running count went too
    }

    void historyMergesRepeatsKeeps20AndClampsItsIndex() {
        Server s;
        int index = -1;
        QVERIFY((s.HistoryNext(), s.GetSendHistory(&index).isEmpty()) && index == 0);  // empty: the index stays 0
        for (const char* payload : {"A", "A", "B", "A", "", ""})
            s.AddSendHistory(payload);
        QCOMPARE(s.GetSendHistory(&index), QByteArrayList({"A", "B", "A", "", ""}));  // empty ones never merge
        QCOMPARE(index, 4);
        for (int i = 1; i <= 30; ++i)
            s.AddSendHistory(QByteArray::number(i));
        for (int i = 0; i < 25; ++i)
            s.HistoryPrev();
        s.HistoryNext();
        QVERIFY(s.GetSendHistory(&index).size() == 20 && s.GetSendHistory().first() == "11" && index == 1);
    }

    void encodingsRoundTrip_data() {
        QTest::addColumn<int>("encoding");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("unknown is Default") << 99 << QString("hi 1") << QByteArray("hi 1");
        QTest::newRow("ASCII is Latin-1") << int(ENCODING_ASCII) << QString("caf\u00e9") << QByteArray("caf\xe9");
        QTest::newRow("UTF8") << int(ENCODING_UTF8) << QString::fromUtf8("中") << QByteArray("\xe4\xb8\xad");
        QTest::newRow("UTF16") << int(ENCODING_UTF16) << QString("A\u4e2d") << QByteArray((char*)u"A\u4e2d", 4);
        // No byte-order mark: a leading FF FE or FE FF is a character like any other.
        QTest::newRow("UTF16 FF FE") << int(ENCODING_UTF16) << QString(QChar(0xfeff)) + "A" << QByteArray("\xff\xfe" "A\0", 4);
        QTest::newRow("UTF16 FE FF") << int(ENCODING_UTF16) << QString(QChar(0xfffe)) + "A" << QByteArray("\xfe\xff" "A\0", 4);
    }

    void encodingsRoundTrip() {
        QFETCH(int, encoding);
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        QCOMPARE(BytesToText(bytes, encoding), text);
        CurrentEncoding = encoding;
        QCOMPARE(TextToBytes(text), bytes);
    }

    void addressPath_data() {
        QTest::addColumn<QByteArray>("ip");
        QTest::addColumn<quint32>("port");
        QTest::addColumn<int>("role");
        QTest::addColumn<QString>("error");  // empty: taken
        auto row = [](const char* ip, quint32 port, AddressRole role, const char* error) {
            QTest::addRow("%s:%u %d", ip, port, int(role)) << QByteArray(ip) << port << int(role) << QString(error);
        };
        row("999.1.2.3", 7, AddressRole::Target, "invalid remote address 999.1.2.3");
        row("localhost", 7, AddressRole::Local, "invalid local address localhost");
        row("127.0.0.1", 70000, AddressRole::Remote, "invalid remote port 70000");
        row("127.0.0.1", 0, AddressRole::Target, "invalid remote port 0");
        row("0.0.0.0", 0, AddressRole::Local, "");
        row("127.0.0.1", 65535, AddressRole::Target, "");
    }

    void addressPath() {
        QFETCH(QByteArray, ip);
        QFETCH(quint32, port);
        QFETCH(int, role);
        QFETCH(QString, error);
        sockaddr_in out = {};
        QString got;
        QCOMPARE(ParseAddress(ip, port, AddressRole(role), (sockaddr*)&out, &got), error.isEmpty());
        QCOMPARE(got, error);
        QCOMPARE(Text((sockaddr*)&out), error.isEmpty() ? QString("%1:%2").arg(QString(ip)).arg(port) : "0.0.0.0:0");
    }

    // An accepted connection borrows its handle; an outgoing one owns it and hears nothing in its teardown.
    void clientConnectsOnlyToAGoodTargetAndFollowsItsState() {
        {
            Client accepted(H(5)), client;
            QVERIFY(accepted.IsAccepted() && accepted.IsConnected() && accepted.GetType() == 2);
            accepted.Update();  // runs on its server's loop, not here
            client.SetTarget("999.1.2.3", 7, 500);
            QVERIFY(!client.Connect() && client.GetLastError() == "invalid remote address 999.1.2.3");
            client.SetTarget("127.0.0.1", 7, 500);
            QVERIFY(client.Connect() && client.IsConnecting() && !client.IsConnected() && client.GetType() == 1);
            Client::OnTransportConnect(-1, "refused", user);
            QVERIFY(!client.IsConnecting() && !client.IsConnected() && client.Restart());
            Client::OnTransportConnect(0, "", user);
            QVERIFY(client.IsConnected() && !client.IsConnecting() && client.GetLastError().isEmpty());
            Client::OnTransportData(user, "pong", 4);
            QVERIFY(Shows(&client, 0, "pong") && client.Send("hi") && !client.Send(""));
            Client::OnTransportDisconnect(user);
            QVERIFY(!client.IsConnected());
            client.Update();
            client.Close();
        }
        QCOMPARE(calls, QStringList({"create 3", "start 127.0.0.1:7 500", "not connected", "start 127.0.0.1:7 500",
                                     "connected", "send hi", "send ", "disconnected", "run", "close", "destroy"}));
    }

    void closeDropsChildrenSmallestHandleFirstAndTeardownIsUnheard() {
        {
            Server server;
            QVERIFY(server.Start("127.0.0.1", 0));
            for (int n : {3, 1, 2})
                Accept(n);
            Data(7, "held");
            server.Close();
            QVERIFY(!server.IsRunning() && server.root.childCount() == 0 && server.HeldCount() == 0);
        }
        QCOMPARE(calls.mid(4), QStringList({"dropped 1 running", "dropped 2 running", "dropped 3 running", "stop",
                                            "server destroy"}));
    }

    void unknownHandlesAreIgnoredAndDuplicatesRefused() {
        Server server(0);  // holds nothing for connections not listed yet
        Accept(1);
        QTreeWidgetItem* item = server.ItemOf(H(1));
        QVERIFY(!server.AddClient(H(1), &server.root) && !server.AddClient(nullptr, item));
        QVERIFY(!server.AddChild(&server, item) && !server.RemoveClient(H(2)) && server.ItemOf(H(1)) == item);
        server.NotifyDisconnected(H(2));
        Data(2, "stray");
        Accept(2);
        QVERIFY(server.Child(2)->GetRecvTotal() == 0 && server.GetRecvTotal() == 0);
        ServerBase::OnTransportClosed(H(1), user);  // the transport's report
        server.NotifyChildClosed(server.Child(2));  // the user's close
        QCOMPARE(calls, QStringList({"server create 4", "accepted 1", "accepted 2", "dropped 1", "dropped 2"}));
    }

    void earlyDataIsHeldInOrderBoundedAndOnlyForItsPeer() {
        Server server;
        Data(100, "one");
        Data(100, "two");
        Accept(100);
        Data(100, "three");
        QVERIFY(Shows(server.Child(100), 0, "one") && Shows(server.Child(100), 2, "three"));
        for (int i = 0; i < Server::kMaxHeldChunks + 2; ++i)
            Data(1, "x");
        for (const QByteArray& data : {QByteArray(Server::kMaxHeldBytes - 1, 'y'), QByteArray("zz"), QByteArray("z")})
            Data(2, data);
        for (int n = 3; n < 3 + Server::kMaxHeldPeers; ++n)
            Data(n, "z");
        for (int n : {1, 2, 65})  // 65: a peer too many
            Accept(n);
        // Beyond the bounds data is counted under the child, not listed.
        QCOMPARE(server.Child(1)->GetRecvTotal(), qint64(Server::kMaxHeldChunks + 2));
        QCOMPARE(server.Child(1)->GetReceivedLines().size(), Server::kMaxHeldChunks);
        QVERIFY(server.Child(2)->GetRecvTotal() == Server::kMaxHeldBytes + 2 && Shows(server.Child(2), 1, "] z"));
        server.keys[H(80)] = "first";  // a later peer on a freed handle gets nothing of it
        Data(80, "not yours");
        server.keys[H(80)] = "second";
        Accept(80);
        QVERIFY(server.Child(65)->GetRecvTotal() == 0 && server.Child(80)->GetRecvTotal() == 0);
        server.now = 1000;  // the rest waits the hold time and no longer
        server.Update();
        QCOMPARE(server.HeldCount(), Server::kMaxHeldPeers - 2);
        server.now = 1001;
        server.Update();
        QCOMPARE(server.HeldCount(), 0);
    }

    // A server's text capture takes each connection's lines, a late one's too, tagged with its
    // peer, and keeps them after the connection left; a binary one writes a file per connection.
    void serverCaptureKeepsItsConnectionsLinesTagged() {
        QTemporaryDir dir;
        Server server;
        Accept(1);
        QVERIFY(server.StartCapture(dir.filePath("s.txt"), false));
        Accept(2);
        Data(1, "one"), Data(2, "two");
        server.Child(2)->LogSent("hi", true);
        ServerBase::OnTransportClosed(H(1), user);
        ServerBase::OnTransportClosed(H(2), user);
        QVERIFY(server.ItemOf(H(1)) == nullptr && server.IsCapturing());
        server.StopCapture();
        const QString time = "\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3} ";
        QVERIFY(QRegularExpression("^" + time + "<= 127.0.0.9:5000\\] one\n" + time + "<= 127.0.0.9:5000\\] two\n" +
                                   time + "=> 127.0.0.9:5000\\] hi\n$").match(ReadFile(dir.filePath("s.txt"))).hasMatch());
        QVERIFY(server.StartCapture(dir.filePath("b.bin"), true));
        Accept(3);
        Data(3, QByteArray("\0\xff", 2));
        server.StopCapture();
        QVERIFY(!server.Child(3)->IsCapturing() && !QFile::exists(dir.filePath("b.bin")));
        QCOMPARE(ReadFile(dir.filePath("b_127.0.0.9_5000.bin")), QByteArray("\0\xff", 2));
    }

    // The file has every chunk whole and in order, past the session's trimming and line bound.
    void captureKeepsWhatTheSessionDrops() {
        QTemporaryDir dir;
        Client text(H(1)), binary(H(2));  // accepted: no teardown reports
        QVERIFY(text.StartCapture(dir.filePath("t.txt"), false) && binary.StartCapture(dir.filePath("b.bin"), true));
        QByteArray all;
        for (int i = 0; i < 600; ++i) {
            const QByteArray chunk = QByteArray::number(i) + QByteArray(i % 2 ? 5000 : 10, 'x');
            Client::OnTransportData(static_cast<SessionItemClient*>(&text), chunk.constData(), chunk.size());
            Client::OnTransportData(static_cast<SessionItemClient*>(&binary), chunk.constData(), chunk.size());
            all += chunk;
        }
        text.StopCapture(), binary.StopCapture();
        QCOMPARE(ReadFile(dir.filePath("b.bin")), all);
        const QList<QByteArray> lines = ReadFile(dir.filePath("t.txt")).split('\n');
        QCOMPARE(lines.size(), 601);
        for (int i = 0; i < 600; ++i)
            QVERIFY(lines[i].endsWith(" <=] " + QByteArray::number(i) + QByteArray(i % 2 ? 5000 : 10, 'x')));
    }

    // A file that cannot be opened or written stops the capture with the reason in the view.
    void captureErrorsStopItAndSayWhy() {
        Client c;
        QVERIFY(!c.StartCapture("/nonexistent/c.txt", false) && !c.IsCapturing());
        QVERIFY(c.GetLastError().startsWith("cannot open /nonexistent/c.txt"));
        QVERIFY(c.StartCapture("/dev/full", true));
        const QByteArray big(SessionCapture::kWriteBytes, 'f');
        Client::OnTransportData(static_cast<SessionItemClient*>(&c), big.constData(), big.size());
        QVERIFY(!c.IsCapturing() && c.GetRecvTotal() == big.size());
        QCOMPARE(c.GetReceivedLines().last().Text(), "Error : capture write to /dev/full failed: No space left on device");
        QVERIFY(c.GetReceivedLines().first().Text().startsWith("Error : capture cannot open /nonexistent/c.txt"));
    }

    void udpStartRefusesBadAddressesAndSaysWhyBindOrJoinFailed() {
        SessionItemUDPClient session("UDP");
        QVERIFY(!session.Start("300.1.1.1", 9, "127.0.0.1", 0, false, ""));
        QCOMPARE(session.GetLastError(), QString("invalid remote address 300.1.1.1"));
        QVERIFY(!session.Start("127.0.0.1", 9, "not.an.ip", 0, false, ""));
        QCOMPARE(session.GetLastError(), QString("invalid local address not.an.ip"));
        QVERIFY(!session.Send("lost"));
        testnet::UdpPeer holder;
        QVERIFY(!session.Start("127.0.0.1", holder.Port(), "127.0.0.1", holder.Port(), false, ""));
        QCOMPARE(session.GetLastError(), QString::fromUtf8(net_last_error()));
        QVERIFY(session.GetLastError().contains("address already in use"));
        bool got = true;
        QVERIFY(!session.Send("lost") && (holder.Receive(&got, 50), !got));  // a failed start sends nothing
        const int status = testnet::RunInNamespace([] {
            const quint16 port = testnet::FreeUdpPort("0.0.0.0");
            SessionItemUDPClient session("UDP");  // no interface here holds 10.9.8.7: the join fails
            const bool refused = !session.Start("239.255.10.20", port, "0.0.0.0", 0, true, "10.9.8.7");
            session.Update();  // lets the close complete
            return refused && session.GetLastError().contains("join multicast 239.255.10.20") &&
                   testnet::UdpPeer("0.0.0.0", port).Bound() ? 0 : 1;
        });
        if (status == testnet::kNoNamespace)
            QSKIP("network namespaces are not available here");
        QCOMPARE(status, 0);
    }

    // A file goes out as whole datagrams no larger than the endpoint takes, in order.
    void udpSendsAFileInDatagramsItCanTake() {
        testnet::UdpPeer peer;
        SessionItemUDPClient session("UDP");
        QVERIFY(session.Start("127.0.0.1", peer.Port(), "127.0.0.1", 0, false, ""));
        QTemporaryFile file;
        QByteArray bytes;
        for (int i = 0; bytes.size() < 10000; ++i)
            bytes += QByteArray::number(i) + ',';
        QVERIFY(file.open() && file.write(bytes) == bytes.size() && file.flush());
        FileSender sender(&session, 0);
        QVERIFY(sender.Open(file.fileName()));
        QByteArray got;
        bool ok = true;
        for (int tick = 0; ok && !sender.IsDone() && tick < 100; ++tick) {
            sender.Pump(tick * 10);
            session.Update();  // datagrams after the first wait for the loop
            while (ok && got.size() < sender.Sent()) {
                const std::string datagram = peer.Receive(&ok, 1000);
                ok = ok && datagram.size() <= MAX_UDP_PAYLOAD;
                got += QByteArray::fromStdString(datagram);
            }
        }
        QVERIFY(ok && sender.IsDone());
        QCOMPARE(got, bytes);
        QCOMPARE(session.GetReceivedLines().last().Text(), QString("文件已发送：%0 字节").arg(bytes.size()));
    }
};

QTEST_GUILESS_MAIN(TestSessions)
#include "tst_sessions.moc"
