// TCP server and client sessions against real loopback sockets. A small host
// plays the window's part: it lists each accepted connection as a child and
// drops it when the server reports it gone.
#include <QElapsedTimer>
#include <QThread>
#include <QTreeWidgetItem>
#include <QtTest>

#include <functional>

#include "SessionItemTCPClient.h"
#include "SessionItemTCPServer.h"
#include "support/LoopbackPeer.h"
#include "support/ServerHost.h"

namespace {

using serverhost::Pump;
using serverhost::PumpFor;

struct Host : QObject {
    SessionItemTCPServer server{"TCPServer"};
    QTreeWidgetItem serverItem;
    QList<TCPCLIENT> accepted;
    QList<TCPCLIENT> dropped;
    bool removeOnDisconnect = true;

    Host() {
        server.SetTreeItem(&serverItem);
        SessionItem::StoreInTreeItem(&serverItem, &server);
        connect(&server, &SessionItemTCPServer::OnClientConnectedSignal, this,
                [this](QTreeWidgetItem* item, TCPCLIENT client) {
                    QCOMPARE(item, &serverItem);
                    auto* child = new SessionItemTCPClient("TCPServer_Client", client);
                    auto* childItem = new QTreeWidgetItem(&serverItem);
                    child->SetParentItem(&serverItem);
                    child->SetTreeItem(childItem);
                    SessionItem::StoreInTreeItem(childItem, child);
                    QVERIFY(server.AddClient(client, childItem));
                    accepted.append(client);
                });
        connect(&server, &SessionItemTCPServer::OnClientDisconnectedSignal, this,
                [this](QTreeWidgetItem* item, TCPCLIENT client) {
                    dropped.append(client);
                    if (!removeOnDisconnect)
                        return;
                    QVERIFY(server.RemoveClient(client));
                    delete SessionItem::FromTreeItem(item);
                    delete item;
                });
    }
    ~Host() override {
        server.Close();
        for (int i = serverItem.childCount() - 1; i >= 0; --i) {
            delete SessionItem::FromTreeItem(serverItem.child(i));
            delete serverItem.child(i);
        }
    }
    SessionItemTCPClient* Child(TCPCLIENT client) {
        return static_cast<SessionItemTCPClient*>(SessionItem::FromTreeItem(server.ItemOf(client)));
    }
    bool Start(uint16_t* port) {
        *port = loopback::FreePort();
        return server.Start("127.0.0.1", *port);
    }
};

}  // namespace

class TcpSessionsTest : public QObject {
    Q_OBJECT
private slots:
    void acceptedDataIsListedUnderEachChild();
    void closeDropsChildrenSmallestHandleFirst();
    void closeWithoutListenerStillEnds();
    void acceptedConnectionKeepsItsKindAndBorrowsItsHandle();
    void unknownHandlesAndDuplicateAdds();
    void busyPortAndBadAddressFailStart();
    void clientConnectsSendsReceivesAndSeesPeerClose();
    void clientRefusesBadTargets();
    void clientRefusedAndTimedOutReportOnce();
};

void TcpSessionsTest::acceptedDataIsListedUnderEachChild() {
    Host host;
    uint16_t port = 0;
    QVERIFY(host.Start(&port));
    QVERIFY(host.server.IsRunning());
    QCOMPARE(host.server.GetType(), (int)TYPE_TCP_SERVER);
    int a = loopback::Connect(port);
    QVERIFY(Pump({&host.server}, [&] { return host.accepted.size() == 1; }));
    int b = loopback::Connect(port);
    QVERIFY(Pump({&host.server}, [&] { return host.accepted.size() == 2; }));
    SessionItemTCPClient* first = host.Child(host.accepted[0]);
    SessionItemTCPClient* second = host.Child(host.accepted[1]);
    QCOMPARE(first->GetType(), (int)TYPE_TCP_SERVER_CLIENT);
    QCOMPARE(first->GetPeerIP(), QString("127.0.0.1"));
    QCOMPARE(first->GetLocalPort(), (int)port);
    QVERIFY(first->GetPeerPort() != second->GetPeerPort());

    QVERIFY(loopback::SendAll(a, "hello"));
    QVERIFY(loopback::SendAll(b, "world!!"));
    QVERIFY(Pump({&host.server}, [&] { return first->GetRecvTotal() == 5 && second->GetRecvTotal() == 7; }));
    QCOMPARE(host.server.GetRecvTotal(), (qint64)0);
    QVERIFY(host.server.GetReceivedLines().isEmpty());
    QVERIFY(first->GetReceivedLines().last().endsWith("<=] hello"));
    QVERIFY(second->GetReceivedLines().last().endsWith("<=] world!!"));

    // And back: each child writes to its own peer.
    QVERIFY(second->Send("to b"));
    QByteArray got;
    QVERIFY(Pump({&host.server}, [&] { got += loopback::ReadAvailable(b); return got == "to b"; }));
    QCOMPARE(loopback::ReadAvailable(a), QByteArray());
    close(a);
    close(b);
}

void TcpSessionsTest::closeDropsChildrenSmallestHandleFirst() {
    Host host;
    uint16_t port = 0;
    QVERIFY(host.Start(&port));
    int peers[3];
    for (int& peer : peers)
        peer = loopback::Connect(port);
    QVERIFY(Pump({&host.server}, [&] { return host.accepted.size() == 3; }));
    QList<bool> runningAtSignal;
    QObject scope;  // ends this connection before the list it fills
    connect(&host.server, &SessionItemTCPServer::OnClientDisconnectedSignal, &scope,
            [&](QTreeWidgetItem*, TCPCLIENT) { runningAtSignal.append(host.server.IsRunning()); });

    host.server.Close();
    QCOMPARE(host.dropped.size(), 3);
    QList<TCPCLIENT> sorted = host.accepted;
    std::sort(sorted.begin(), sorted.end());
    QCOMPARE(host.dropped, sorted);
    QCOMPARE(runningAtSignal, QList<bool>({true, true, true}));
    QVERIFY(!host.server.IsRunning());
    QCOMPARE(host.server.ChildCount(), 0);
    QCOMPARE(host.serverItem.childCount(), 0);

    // Every peer sees its connection end; a restart listens again on the same port.
    int ended = 0;
    QVERIFY(Pump({&host.server}, [&] {
        for (int& peer : peers) {
            bool closed = false;
            loopback::ReadAvailable(peer, &closed);
            if (closed) {
                close(peer);
                peer = -1;
                ++ended;
            }
        }
        return ended == 3;
    }));
    QVERIFY(host.server.Restart());
    int again = loopback::Connect(port);
    QVERIFY(Pump({&host.server}, [&] { return host.accepted.size() == 4; }));
    close(again);
}

void TcpSessionsTest::closeWithoutListenerStillEnds() {
    Host host;
    host.removeOnDisconnect = false;
    uint16_t port = 0;
    QVERIFY(host.Start(&port));
    int a = loopback::Connect(port);
    int b = loopback::Connect(port);
    QVERIFY(Pump({&host.server}, [&] { return host.accepted.size() == 2; }));
    host.server.Close();
    QCOMPARE(host.dropped.size(), 2);
    QCOMPARE(host.server.ChildCount(), 0);
    close(a);
    close(b);
}

void TcpSessionsTest::acceptedConnectionKeepsItsKindAndBorrowsItsHandle() {
    Host host;
    uint16_t port = 0;
    QVERIFY(host.Start(&port));
    int a = loopback::Connect(port);
    int b = loopback::Connect(port);
    QVERIFY(Pump({&host.server}, [&] { return host.accepted.size() == 2; }));

    // The peer of the first leaves: its child sees the disconnect with its kind intact.
    int typeAtDisconnect = 0;
    QObject scope;
    connect(&host.server, &SessionItemTCPServer::OnClientDisconnectedSignal, &scope,
            [&](QTreeWidgetItem* item, TCPCLIENT) {
                typeAtDisconnect = SessionItem::FromTreeItem(item)->GetType();
            });
    host.removeOnDisconnect = false;
    close(a);
    QVERIFY(Pump({&host.server}, [&] { return host.dropped.size() == 1; }));
    QCOMPARE(typeAtDisconnect, (int)TYPE_TCP_SERVER_CLIENT);
    SessionItemTCPClient* gone = host.Child(host.accepted[0]);
    QCOMPARE(gone->GetType(), (int)TYPE_TCP_SERVER_CLIENT);
    QVERIFY(host.server.RemoveClient(host.accepted[0]));
    delete gone->GetTreeItem();
    delete gone;

    // Deleting the live second child's session leaves its connection to the
    // server: the server keeps running it and closes it itself (the sanitizer
    // build catches a double destroy here).
    SessionItemTCPClient* live = host.Child(host.accepted[1]);
    QVERIFY(host.server.RemoveClient(live->GetHandle()));
    delete live->GetTreeItem();
    delete live;
    QVERIFY(loopback::SendAll(b, "nobody listens"));
    PumpFor({&host.server}, 50);
    QCOMPARE(host.server.GetRecvTotal(), (qint64)0);
    bool closed = false;
    loopback::ReadAvailable(b, &closed);
    QVERIFY(!closed);
    host.server.Close();
    QVERIFY(Pump({&host.server}, [&] {
        loopback::ReadAvailable(b, &closed);
        return closed;
    }));
    close(b);
}

void TcpSessionsTest::unknownHandlesAndDuplicateAdds() {
    Host host;
    uint16_t port = 0;
    QVERIFY(host.Start(&port));
    int a = loopback::Connect(port);
    QVERIFY(Pump({&host.server}, [&] { return host.accepted.size() == 1; }));
    TCPCLIENT known = host.accepted[0];
    QTreeWidgetItem* item = host.server.ItemOf(known);
    QTreeWidgetItem other;

    QVERIFY(!host.server.AddClient(known, &other));
    QCOMPARE(host.server.ItemOf(known), item);
    QCOMPARE(host.server.ChildCount(), 1);
    auto* bogus = reinterpret_cast<TCPCLIENT>(&other);
    QVERIFY(!host.server.RemoveClient(bogus));
    host.server.NotifyDisconnected(bogus);
    QVERIFY(host.dropped.isEmpty());
    QCOMPARE(host.server.ChildCount(), 1);

    // Data for a connection the host never listed is dropped, not counted anywhere.
    host.removeOnDisconnect = true;
    disconnect(&host.server, &SessionItemTCPServer::OnClientConnectedSignal, nullptr, nullptr);
    int unlisted = loopback::Connect(port);
    QVERIFY(loopback::SendAll(unlisted, "stray"));
    QVERIFY(loopback::SendAll(a, "mine"));
    SessionItemTCPClient* child = host.Child(known);
    QVERIFY(Pump({&host.server}, [&] { return child->GetRecvTotal() == 4; }));
    PumpFor({&host.server}, 30);
    QCOMPARE(child->GetRecvTotal(), 4);
    QCOMPARE(host.server.GetRecvTotal(), (qint64)0);
    // Its end is not reported either: the map only holds listed children.
    close(unlisted);
    PumpFor({&host.server}, 30);
    QVERIFY(host.dropped.isEmpty());
    close(a);
    QVERIFY(Pump({&host.server}, [&] { return host.dropped.size() == 1; }));
}

void TcpSessionsTest::busyPortAndBadAddressFailStart() {
    uint16_t port = 0;
    int listener = loopback::Listen(&port);
    QVERIFY(listener >= 0);
    SessionItemTCPServer server("TCPServer");
    QVERIFY(!server.Start("127.0.0.1", port));
    QVERIFY(!server.IsRunning());
    QVERIFY(QString(net_last_error()).contains("address already in use"));
    close(listener);
    QVERIFY(server.Restart());
    QCOMPARE(server.GetPort(), (unsigned)port);
    QVERIFY(server.GetLastError().isEmpty());
    server.Close();
    // A refused address says what was wrong, never an older transport text.
    QVERIFY(!server.Start("999.1.2.3", loopback::FreePort()));
    QVERIFY(!server.IsRunning());
    QCOMPARE(server.GetLastError(), QString("invalid local address 999.1.2.3"));
    QVERIFY(!server.Start("127.0.0.1", 70000));
    QCOMPARE(server.GetLastError(), QString("invalid local port 70000"));
}

void TcpSessionsTest::clientConnectsSendsReceivesAndSeesPeerClose() {
    uint16_t port = 0;
    int listener = loopback::Listen(&port);
    SessionItemTCPClient client("TCPClient");
    QTreeWidgetItem item;
    client.SetTreeItem(&item);
    QCOMPARE(client.GetType(), (int)TYPE_TCP_CLIENT);
    QList<bool> results;
    int disconnects = 0;
    QObject scope;
    connect(&client, &SessionItemTCPClient::OnClientConnectResultSignal, &scope,
            [&](bool success, QTreeWidgetItem* parent, TCPCLIENT handle) {
                QCOMPARE(parent, &item);
                QCOMPARE(handle, client.GetHandle());
                results.append(success);
            });
    connect(&client, &SessionItemTCPClient::OnClientDisconnectedSignal, &scope,
            [&](QTreeWidgetItem* own) {
                QCOMPARE(own, &item);
                ++disconnects;
            });

    client.SetTarget("127.0.0.1", port, 5000);
    PumpFor({&client}, 20);
    int peer = loopback::Accept(listener);
    QCOMPARE(peer, -1);  // setting the target connects nothing
    QVERIFY(client.Connect());
    QVERIFY(client.IsConnecting());
    QVERIFY(!client.IsConnected());
    QVERIFY(Pump({&client}, [&] { return !results.isEmpty(); }));
    QCOMPARE(results, QList<bool>({true}));
    QVERIFY(client.IsConnected());
    QVERIFY(!client.IsConnecting());
    QCOMPARE(client.GetPeerIP(), QString("127.0.0.1"));
    QCOMPARE(client.GetPeerPort(), (int)port);
    QVERIFY(client.GetLocalPort() > 0);
    QVERIFY(Pump({&client}, [&] { return (peer = loopback::Accept(listener)) >= 0; }));

    QVERIFY(client.Send("ping"));
    QByteArray got;
    QVERIFY(Pump({&client}, [&] { got += loopback::ReadAvailable(peer); return got == "ping"; }));
    QVERIFY(loopback::SendAll(peer, "pong"));
    QVERIFY(Pump({&client}, [&] { return client.GetRecvTotal() == 4; }));
    QVERIFY(client.GetReceivedLines().last().endsWith("<=] pong"));

    close(peer);
    QVERIFY(Pump({&client}, [&] { return disconnects == 1; }));
    QVERIFY(!client.IsConnected());
    client.Close();
    QVERIFY(!client.IsConnected());
    QVERIFY(!client.IsConnecting());
    close(listener);
}

// A target that is not what the user asked for is refused before anything
// connects: 999.1.2.3 would become 0.0.0.0 (this machine) and 70000 port 4464.
void TcpSessionsTest::clientRefusesBadTargets() {
    uint16_t port = 0;
    int listener = loopback::Listen(&port);
    SessionItemTCPClient client("TCPClient");
    int results = 0;
    QObject scope;
    connect(&client, &SessionItemTCPClient::OnClientConnectResultSignal, &scope,
            [&](bool, QTreeWidgetItem*, TCPCLIENT) { ++results; });
    const struct {
        const char* ip;
        unsigned port;
        const char* error;
    } cases[] = {{"999.1.2.3", port, "invalid remote address 999.1.2.3"},
                 {"localhost", port, "invalid remote address localhost"},
                 {"127.0.0.1", 70000, "invalid remote port 70000"},
                 {"127.0.0.1", 0, "invalid remote port 0"}};
    for (const auto& c : cases) {
        client.SetTarget(c.ip, c.port, 5000);
        QVERIFY(!client.Connect());
        QCOMPARE(client.GetLastError(), QString(c.error));
        QVERIFY(!client.IsConnecting());
    }
    PumpFor({&client}, 50);
    QCOMPARE(results, 0);
    QCOMPARE(loopback::Accept(listener), -1);
    client.SetTarget("127.0.0.1", port, 5000);
    QVERIFY(client.Connect());
    QVERIFY(client.GetLastError().isEmpty());
    QVERIFY(Pump({&client}, [&] { return results == 1 && client.IsConnected(); }));
    client.Close();
    close(listener);
}

void TcpSessionsTest::clientRefusedAndTimedOutReportOnce() {
    SessionItemTCPClient client("TCPClient");
    QList<bool> results;
    QObject scope;
    connect(&client, &SessionItemTCPClient::OnClientConnectResultSignal, &scope,
            [&](bool success, QTreeWidgetItem*, TCPCLIENT) { results.append(success); });

    client.SetTarget("127.0.0.1", loopback::FreePort(), 5000);
    client.Connect();
    QVERIFY(Pump({&client}, [&] { return !results.isEmpty(); }));
    PumpFor({&client}, 50);
    QCOMPARE(results, QList<bool>({false}));
    QVERIFY(!client.IsConnecting());
    QVERIFY(!client.IsConnected());

    // A listener whose accept queue is full drops further handshakes, so the
    // attempt neither succeeds nor fails before the time-out.
    uint16_t port = 0;
    int listener = loopback::Listen(&port, 0);
    QList<int> fillers;
    for (int i = 0; i < 4; ++i)
        fillers.append(loopback::Connect(port));
    QThread::msleep(50);
    results.clear();
    client.SetTarget("127.0.0.1", port, 300);
    client.Connect();
    QVERIFY(Pump({&client}, [&] { return !results.isEmpty(); }, 5000));
    PumpFor({&client}, 400);
    QCOMPARE(results, QList<bool>({false}));
    QVERIFY(!client.IsConnecting());
    client.Close();
    for (int fd : fillers)
        close(fd);
    close(listener);
}

QTEST_MAIN(TcpSessionsTest)
#include "tst_tcpsessions.moc"
