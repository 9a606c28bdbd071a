// The UDP session on real sockets: unicast on loopback; multicast, and anything
// that could join a group, only inside a private network namespace.
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTreeWidgetItem>
#include <QtTest>

#include <functional>

#include "Encoding.h"
#include "SessionItemUDPClient.h"
#include "support/NetNamespace.h"
#include "support/UdpPeer.h"
#include "transport.h"

Q_DECLARE_METATYPE(QTreeWidgetItem*)

using namespace udppeer;

namespace {

const char* const kGroup = "239.255.10.20";

// Ticks the session as the window does until done() or the time limit.
bool TickUntil(SessionItem& session, const std::function<bool()>& done, int limitMs = 3000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > limitMs)
            return false;
        session.Update();
        usleep(1000);
    }
    return true;
}

// The content of a received line, after "[hh:mm:ss <=] ".
QByteArray Content(const QByteArray& line) {
    const int start = line.indexOf("] ");
    return start < 0 ? QByteArray() : line.mid(start + 2);
}

// Checks inside a namespaced child: report and give the child's failing status.
#define CHILD_CHECK(cond)                                                        \
    do {                                                                         \
        if (!(cond)) {                                                           \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            return 1;                                                            \
        }                                                                        \
    } while (0)

#define IN_NAMESPACE(body)                                                    \
    do {                                                                      \
        const int status_ = netns::RunInNamespace(body);                      \
        if (status_ == netns::kUnavailable)                                   \
            QSKIP("network namespaces are not available here");               \
        QCOMPARE(status_, 0);                                                 \
    } while (0)

}  // namespace

class TestUdpSession : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // Latin-1: one character per byte, so line contents compare byte for byte.
        CurrentEncoding = ENCODING_ASCII;
        qRegisterMetaType<QTreeWidgetItem*>();
    }

    void unicastExchangeWithOnePeer() {
        UdpPeer peer;
        QVERIFY(peer.Bound());
        SessionItemUDPClient session("UDPClient");
        QCOMPARE(session.GetType(), int(TYPE_UDP));
        QVERIFY(!session.Send("early"));
        QVERIFY(!session.IsOpen());

        QVERIFY(session.Start("127.0.0.1", peer.Port(), "127.0.0.1", 0, false, "127.0.0.1"));
        QVERIFY(session.IsOpen());
        QVERIFY(!session.IsMulticast());
        QCOMPARE(session.GetRemoteIp(), QString("127.0.0.1"));
        QCOMPARE(session.GetRemotePort(), int(peer.Port()));
        const int port = session.GetLocalPort();
        QVERIFY(port > 0);

        QVERIFY(session.Send("to peer"));
        QCOMPARE(peer.Receive(), QByteArray("to peer"));

        QTreeWidgetItem item;
        session.SetTreeItem(&item);
        QSignalSpy received(&session, &SessionItem::OnReceived);
        QVERIFY(peer.SendTo(QByteArray("hel\0lo", 6), "127.0.0.1", quint16(port)));
        QVERIFY(TickUntil(session, [&] { return received.count() == 1; }));
        QCOMPARE(received.at(0).at(0).value<QTreeWidgetItem*>(), &item);
        QCOMPARE(Content(session.GetReceivedLines().value(0)), QByteArray("hel\0lo", 6));
        QCOMPARE(session.GetRecvTotal(), qint64(6));

        // An empty datagram is no line.
        QVERIFY(peer.SendTo(QByteArray(), "127.0.0.1", quint16(port)));
        QVERIFY(peer.SendTo("after", "127.0.0.1", quint16(port)));
        QVERIFY(TickUntil(session, [&] { return received.count() == 2; }));
        QCOMPARE(Content(session.GetReceivedLines().value(1)), QByteArray("after"));
        QCOMPARE(session.GetRecvTotal(), qint64(11));
    }

    void closeAndRestartWithTheStoredValues() {
        UdpPeer peer;
        QVERIFY(peer.Bound());
        const quint16 localPort = FreePort();
        SessionItemUDPClient session("UDPClient");
        QVERIFY(session.Start("127.0.0.1", peer.Port(), "127.0.0.1", localPort, false, ""));
        QCOMPARE(session.GetLocalPort(), int(localPort));

        session.Close();
        QVERIFY(!session.IsOpen());
        QCOMPARE(session.GetLocalPort(), 0);
        QVERIFY(!session.Send("closed"));
        // The port is free again once the close has run.
        session.Update();
        {
            UdpPeer taker("127.0.0.1", localPort);
            QVERIFY(taker.Bound());
            // Held by someone else: the restart fails with the bind's reason.
            QVERIFY(!session.Restart());
            QVERIFY(!session.IsOpen());
            QCOMPARE(session.GetLastError(), QString::fromUtf8(net_last_error()));
            QVERIFY(session.GetLastError().contains("address already in use"));
        }
        session.Update();
        QVERIFY(session.Restart());
        QCOMPARE(session.GetLocalPort(), int(localPort));
        QVERIFY(session.GetLastError().isEmpty());
        QVERIFY(peer.SendTo("again", "127.0.0.1", localPort));
        QVERIFY(TickUntil(session, [&] { return session.GetReceivedLines().size() == 1; }));
        QCOMPARE(Content(session.GetReceivedLines().value(0)), QByteArray("again"));
    }

    void twoSendersGiveIndistinguishableLines() {
        UdpPeer first;
        UdpPeer second;
        QVERIFY(first.Bound() && second.Bound());
        SessionItemUDPClient session("UDPClient");
        QVERIFY(session.Start("127.0.0.1", first.Port(), "127.0.0.1", 0, false, ""));
        const quint16 port = quint16(session.GetLocalPort());
        QVERIFY(first.SendTo("same", "127.0.0.1", port));
        QVERIFY(TickUntil(session, [&] { return session.GetReceivedLines().size() == 1; }));
        QVERIFY(second.SendTo("same", "127.0.0.1", port));
        QVERIFY(TickUntil(session, [&] { return session.GetReceivedLines().size() == 2; }));
        const QList<QByteArray>& lines = session.GetReceivedLines();
        QCOMPARE(Content(lines.at(0)), QByteArray("same"));
        QCOMPARE(Content(lines.at(1)), QByteArray("same"));
        // Nothing beyond the time tells the two apart: no address, no port.
        QCOMPARE(lines.at(0).size(), lines.at(1).size());
        QVERIFY(!lines.at(1).contains(QByteArray::number(first.Port())));
        QVERIFY(!lines.at(1).contains(QByteArray::number(second.Port())));
    }

    void badAddressesAreRefused() {
        UdpPeer peer("0.0.0.0", 0);  // would catch a datagram sent to 0.0.0.0 (this host)
        QVERIFY(peer.Bound());
        SessionItemUDPClient session("UDPClient");
        QVERIFY(!session.Start("127.0.0.1", peer.Port(), "not.an.ip", 0, false, ""));
        QVERIFY(!session.IsOpen());
        QVERIFY(session.GetLastError().contains("not.an.ip"));
        QCOMPARE(session.GetLocalPort(), 0);

        // An unusable remote address is refused at the start, not at each send.
        QVERIFY(!session.Start("300.1.1.1", peer.Port(), "127.0.0.1", 0, false, ""));
        QCOMPARE(session.GetLastError(), QString("invalid remote address 300.1.1.1"));
        QVERIFY(!session.IsOpen());
        QVERIFY(!session.Send("lost"));
        QCOMPARE(peer.Receive(100), QByteArray());
    }

    void multicastMemberReceivesTheGroup() {
        IN_NAMESPACE([] {
            const quint16 groupPort = FreePort("0.0.0.0");
            SessionItemUDPClient session("UDPClient");
            // The local port is ignored: the member binds the group's port on 0.0.0.0.
            CHILD_CHECK(session.Start(kGroup, groupPort, "0.0.0.0", 4, true, "127.0.0.1"));
            CHILD_CHECK(session.IsOpen() && session.IsMulticast());
            CHILD_CHECK(session.GetLocalPort() == groupPort);
            {
                UdpPeer wildcard("0.0.0.0", groupPort);
                CHILD_CHECK(!wildcard.Bound());  // the session holds 0.0.0.0 on that port
            }

            UdpPeer member;
            CHILD_CHECK(member.Bound());
            CHILD_CHECK(member.SendTo("to the group", kGroup, groupPort));
            CHILD_CHECK(TickUntil(session, [&] { return session.GetReceivedLines().size() == 1; }));
            CHILD_CHECK(Content(session.GetReceivedLines().value(0)) == "to the group");

            // The session's own send goes to the group and port, so it comes
            // back to the session itself through the group.
            CHILD_CHECK(session.Send("from the session"));
            CHILD_CHECK(TickUntil(session, [&] { return session.GetReceivedLines().size() == 2; }));
            CHILD_CHECK(Content(session.GetReceivedLines().value(1)) == "from the session");
            return 0;
        });
    }

    void failedBindSkipsTheJoin() {
        IN_NAMESPACE([] {
            UdpPeer holder("0.0.0.0", 0);
            CHILD_CHECK(holder.Bound());
            SessionItemUDPClient session("UDPClient");
            // A join attempted on the failed socket would fail with its own text
            // (the interface has no such address), so the bind's text proves none was tried.
            CHILD_CHECK(!session.Start(kGroup, holder.Port(), "0.0.0.0", 0, true, "10.9.8.7"));
            CHILD_CHECK(!session.IsOpen());
            CHILD_CHECK(session.GetLastError() == QString::fromUtf8(net_last_error()));
            CHILD_CHECK(session.GetLastError().contains("address already in use"));
            return 0;
        });
    }

    void failedJoinSaysSoAndFreesThePort() {
        IN_NAMESPACE([] {
            SessionItemUDPClient session("UDPClient");
            // Leaves an unrelated text in the library's last error first.
            CHILD_CHECK(!session.Send("x"));
            const QString stale = QString::fromUtf8(net_last_error());
            CHILD_CHECK(!stale.isEmpty());

            const quint16 groupPort = FreePort("0.0.0.0");
            // No interface of the namespace holds 10.9.8.7.
            CHILD_CHECK(!session.Start(kGroup, groupPort, "0.0.0.0", 0, true, "10.9.8.7"));
            CHILD_CHECK(!session.IsOpen());
            const QString text = session.GetLastError();
            CHILD_CHECK(text.contains("join multicast") && text.contains(kGroup));
            CHILD_CHECK(text != stale);
            CHILD_CHECK(session.GetLocalPort() == 0);
            session.Update();  // lets the close complete
            UdpPeer taker("0.0.0.0", groupPort);
            CHILD_CHECK(taker.Bound());
            return 0;
        });
    }
};

QTEST_GUILESS_MAIN(TestUdpSession)
#include "tst_udpsession.moc"
