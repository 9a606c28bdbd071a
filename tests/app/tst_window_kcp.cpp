// The real window started with "-kcp", on the offscreen platform: KCP server
// and client sessions made through their dialogs, connected to each other on
// loopback, in one window and across two processes.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QProcess>
#include <QtTest>

#include <vector>

#include "SessionItemKCPClient.h"
#include "SessionItemKCPServer.h"
#include "marovent.h"
#include "support/LoopbackPeer.h"
#include "support/WindowDriver.h"

namespace {

using namespace windowdriver;

// Set in a re-launched copy of this program: it is the second instance, a
// KCP client in a window of its own that talks to the first one's server.
const char kPeerEnv[] = "MAROVENT_TST_KCP_PEER";

// Creates a KCP session through its dialog, with the mode picked in the combo box.
QTreeWidgetItem* CreateKcp(Window& w, const QString& root, uint16_t port, int mode) {
    w.Click(w.Root(root));
    WhenModal<QDialog>([=](QDialog* dialog) {
        dialog->findChild<QLineEdit*>("ipLineEdit")->setText("127.0.0.1");
        dialog->findChild<QLineEdit*>("portLineEdit")->setText(QString::number(port));
        dialog->findChild<QComboBox*>("modeComboBox")->setCurrentIndex(mode);
        QTest::mouseClick(dialog->findChild<QPushButton*>("confirmButton"), Qt::LeftButton);
    });
    w.Press("createButton");
    return w.Current();
}

template <typename T>
T* SessionAt(QTreeWidgetItem* item) {
    return dynamic_cast<T*>(SessionItem::FromTreeItem(item));
}

bool Connected(QTreeWidgetItem* client) {
    auto* session = SessionAt<SessionItemKCPClient>(client);
    return session != nullptr && session->IsConnected();
}

// A client made through its dialog and started; null unless it connected and
// the server listed one more child for it.
QTreeWidgetItem* StartClient(Window& w, QTreeWidgetItem* server, uint16_t port, int mode) {
    const int children = server->childCount();
    QTreeWidgetItem* client = CreateKcp(w, "KCP Client", port, mode);
    w.Press("startButton");
    if (!WaitFor([&] { return Connected(client) && server->childCount() == children + 1; }))
        return nullptr;
    return client;
}

void SendFrom(Window& w, QTreeWidgetItem* item, const QString& text) {
    w.Click(item);
    w.Type(text);
    w.Press("sendButton");
}

bool HasLine(SessionItem* session, const QByteArray& text) {
    for (const QByteArray& line : session->GetReceivedLines())
        if (line.endsWith("<=] " + text))
            return true;
    return false;
}

QString Label(Window& w, const char* name) {
    return w.window.findChild<QLabel*>(name)->text();
}

// The second instance: connects a KCP client session to the given port, sends
// one line, and prints what it received before it leaves.
int RunPeer(int argc, char** argv, uint16_t port) {
    QApplication app(argc, argv);
    Window w;
    QTreeWidgetItem* client = CreateKcp(w, "KCP Client", port, 2);
    w.Press("startButton");
    if (!WaitFor([&] { return Connected(client); }, 10000))
        return 3;
    SendFrom(w, client, "hello from the second instance");
    SessionItem* session = SessionItem::FromTreeItem(client);
    if (!WaitFor([&] { return session->GetRecvTotal() > 0; }, 10000))
        return 4;
    for (const QByteArray& line : session->GetReceivedLines())
        if (line.contains("<=]"))
            QTextStream(stdout) << line << "\n";
    return 0;
}

}  // namespace

class WindowKcpTest : public QObject {
    Q_OBJECT
private slots:
    void serverAndClientInOneWindowExchange();
    void closingServerDropsChildrenSmallestHandleFirst();
    void closingClientOrDeletingChildEndsTheOtherSide();
    void secondInstanceIsThePeer();
};

void WindowKcpTest::serverAndClientInOneWindowExchange() {
    Window w;
    const uint16_t port = loopback::FreePort();
    QTreeWidgetItem* server = CreateKcp(w, "KCP Server", port, 1);
    QCOMPARE(server->parent(), w.Root("KCP Server"));
    QCOMPARE(server->text(0), QString("127.0.0.1:%1").arg(port));
    QCOMPARE(server->icon(0).cacheKey(), IconServerRun().cacheKey());
    QCOMPARE(w.start->text(), QString("启用"));
    QVERIFY(!w.start->isEnabled() && w.closeButton->isEnabled());
    auto* serverSession = SessionAt<SessionItemKCPServer>(server);
    QCOMPARE(serverSession->GetMode(), 1);

    QTreeWidgetItem* client = CreateKcp(w, "KCP Client", port, 0);
    QCOMPARE(client->parent(), w.Root("KCP Client"));
    QCOMPARE(w.start->text(), QString("连接"));
    QTest::qWait(100);
    QCOMPARE(server->childCount(), 0);  // clients connect on the start button only
    w.Press("startButton");
    QCOMPARE(w.led->styleSheet(), QString("background-color: #FFFF00"));
    QVERIFY(WaitFor([&] { return Connected(client) && server->childCount() == 1; }));
    QTRY_COMPARE(w.led->styleSheet(), QString("background-color: #00FF00"));
    auto* clientSession = SessionAt<SessionItemKCPClient>(client);
    QCOMPARE(clientSession->GetType(), (int)TYPE_KCP_CLIENT);
    QCOMPARE(Label(w, "L12label"), QString("127.0.0.1"));
    QCOMPARE(Label(w, "L14label"), QString::number(port));
    QCOMPARE(Label(w, "L24label"), QString::number(clientSession->GetLocalPort()));

    QTreeWidgetItem* child = server->child(0);
    auto* childSession = SessionAt<SessionItemKCPClient>(child);
    QCOMPARE(childSession->GetType(), (int)TYPE_KCP_SERVER_CLIENT);
    QCOMPARE(childSession->GetMode(), 1);  // the server's mode, not the client's
    QCOMPARE(child->text(0), QString("127.0.0.1:%1").arg(clientSession->GetLocalPort()));

    SendFrom(w, client, "ping");
    QVERIFY(WaitFor([&] { return HasLine(childSession, "ping"); }));
    w.Click(child);
    QCOMPARE(w.start->text(), QString("连接"));
    QCOMPARE(Label(w, "L14label"), QString::number(clientSession->GetLocalPort()));
    QCOMPARE(Label(w, "L24label"), QString::number(port));
    QVERIFY(w.Lines().last().endsWith("<=] ping"));
    SendFrom(w, child, "pong");
    QVERIFY(w.Lines().last().endsWith("=>] pong"));
    QVERIFY(WaitFor([&] { return HasLine(clientSession, "pong"); }));
    w.Click(client);
    QVERIFY(w.Lines().last().endsWith("<=] pong"));
    QCOMPARE(serverSession->GetRecvTotal(), (qint64)0);
    QCOMPARE(childSession->GetRecvTotal(), (qint64)4);
}

void WindowKcpTest::closingServerDropsChildrenSmallestHandleFirst() {
    Window w;
    const uint16_t port = loopback::FreePort();
    QTreeWidgetItem* server = CreateKcp(w, "KCP Server", port, 0);
    QTreeWidgetItem* a = StartClient(w, server, port, 0);
    QTreeWidgetItem* b = StartClient(w, server, port, 1);
    QVERIFY(a != nullptr && b != nullptr);

    QList<KCPCLIENT> order;
    QList<bool> runningAtSignal;
    QObject scope;
    auto* session = SessionAt<SessionItemKCPServer>(server);
    connect(session, &SessionItemKCPServer::OnClientDisconnectedSignal, &scope,
            [&](QTreeWidgetItem*, KCPCLIENT client) {
                order.append(client);
                runningAtSignal.append(session->IsRunning());
            });
    w.Click(server);
    w.Press("closeButton");
    QCOMPARE(order.size(), 2);
    QVERIFY(order[0] < order[1]);
    QCOMPARE(runningAtSignal, QList<bool>({true, true}));
    QCOMPARE(server->childCount(), 0);
    QCOMPARE(server->icon(0).cacheKey(), IconServerStop().cacheKey());
    QVERIFY(w.start->isEnabled());
    // Both clients see their TCP connection close.
    QTRY_COMPARE(a->icon(0).cacheKey(), IconNetStop().cacheKey());
    QTRY_COMPARE(b->icon(0).cacheKey(), IconNetStop().cacheKey());
    QVERIFY(!Connected(a) && !Connected(b));

    // Started again, the server takes a client again.
    w.Press("startButton");
    w.Click(a);
    w.Press("startButton");
    QVERIFY(WaitFor([&] { return Connected(a) && server->childCount() == 1; }));
}

void WindowKcpTest::closingClientOrDeletingChildEndsTheOtherSide() {
    Window w;
    const uint16_t port = loopback::FreePort();
    QTreeWidgetItem* server = CreateKcp(w, "KCP Server", port, 2);
    QTreeWidgetItem* a = StartClient(w, server, port, 2);
    QTreeWidgetItem* b = StartClient(w, server, port, 2);
    QVERIFY(a != nullptr && b != nullptr);
    const int aPort = SessionAt<SessionItemKCPClient>(a)->GetLocalPort();

    // The client disconnects: the server's child for it goes.
    w.Click(a);
    w.Press("closeButton");
    QCOMPARE(a->icon(0).cacheKey(), IconNetStop().cacheKey());
    QVERIFY(WaitFor([&] { return server->childCount() == 1; }));
    QVERIFY(server->child(0)->text(0) != QString("127.0.0.1:%1").arg(aPort));

    // Deleting the other child drops the peer; its client notices.
    w.Click(server->child(0));
    w.Press("deleteButton");
    QCOMPARE(server->childCount(), 0);
    QCOMPARE(w.Current(), server);
    QTRY_COMPARE(b->icon(0).cacheKey(), IconNetStop().cacheKey());

    // Sending on a disconnected client is logged, not sent.
    w.Click(b);
    w.Type("late");
    w.Press("sendButton");
    QCOMPARE(w.Lines().last(), QString("Error : client is disconnected"));

    // Deleting the server and a client leaves the roots empty again.
    w.Click(server);
    w.Press("deleteButton");
    QCOMPARE(w.Root("KCP Server")->childCount(), 0);
    w.Click(a);
    w.Press("deleteButton");
    QCOMPARE(w.Root("KCP Client")->childCount(), 1);
}

// The second instance is this test program re-launched in its peer mode: the
// same window code as the application, built into a separate process and
// driven through its widgets. The application itself has no remote control,
// so this is the one way to have it act as a peer without a hook in it.
void WindowKcpTest::secondInstanceIsThePeer() {
    Window w;
    const uint16_t port = loopback::FreePort();
    QTreeWidgetItem* server = CreateKcp(w, "KCP Server", port, 1);
    QVERIFY(SessionAt<SessionItemKCPServer>(server)->IsRunning());

    QProcess peer;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(kPeerEnv, QString::number(port));
    peer.setProcessEnvironment(env);
    peer.start(QCoreApplication::applicationFilePath(), QStringList{"-kcp"});
    QVERIFY(peer.waitForStarted(10000));
    QVERIFY(WaitFor([&] { return server->childCount() == 1; }, 30000));
    SessionItem* child = SessionItem::FromTreeItem(server->child(0));
    QVERIFY(WaitFor([&] { return HasLine(child, "hello from the second instance"); }, 10000));
    SendFrom(w, server->child(0), "hello from the first");
    // The peer leaves once it has its line; its child goes with it.
    QVERIFY(WaitFor([&] { return peer.state() == QProcess::NotRunning; }, 30000));
    QCOMPARE(peer.exitStatus(), QProcess::NormalExit);
    QVERIFY2(peer.exitCode() == 0, peer.readAllStandardError().constData());
    const QString out = QString::fromUtf8(peer.readAllStandardOutput()).trimmed();
    QVERIFY2(out.endsWith("<=] hello from the first"), qPrintable(out));
    QVERIFY(WaitFor([&] { return server->childCount() == 0; }));
}

int main(int argc, char** argv) {
    // The window reads "-kcp" from the application's arguments when it is built.
    std::vector<char*> args(argv, argv + argc);
    char kcp[] = "-kcp";
    args.push_back(kcp);
    int count = (int)args.size();
    if (qEnvironmentVariableIsSet(kPeerEnv))
        return RunPeer(count, args.data(), (uint16_t)qEnvironmentVariableIntValue(kPeerEnv));
    QApplication app(count, args.data());
    WindowKcpTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_window_kcp.moc"
