// The real window on the offscreen platform with UDP and serial-port sessions,
// driven as a user would: UDP against a loopback peer (multicast only inside a
// private network namespace), the serial port against a pseudo-terminal.
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

#include "Encoding.h"
#include "SessionItem.h"
#include "serial/pty_pair.h"
#include "support/NetNamespace.h"
#include "support/UdpPeer.h"
#include "support/WindowDriver.h"

namespace {

using namespace windowdriver;
using namespace udppeer;

// Lets the window tick while a peer waits for a datagram.
void KeepTicking() {
    QTest::qWait(5);
}

const char* const kGroup = "239.255.10.21";
const char* const kLedOn = "background-color: #00FF00";
const char* const kLedOff = "background-color: #CDCDCD";

QLabel* Label(Window& w, const char* name) {
    return w.window.findChild<QLabel*>(name);
}

// The panel's row 0 as one text, e.g. "远程IP：|127.0.0.1|远程Port：|5555".
QString Row0(Window& w) {
    return QStringList{Label(w, "L11label")->text(), Label(w, "L12label")->text(),
                       Label(w, "L13label")->text(), Label(w, "L14label")->text()}
        .join('|');
}

// Answers the next message box with Close and keeps its title and text.
void CatchMessage(QString* shown) {
    WhenModal<QMessageBox>([shown](QMessageBox* box) {
        *shown = box->windowTitle() + "|" + box->text();
        box->button(QMessageBox::Close)->click();
    });
}

void SetField(QDialog* dialog, const char* name, const QString& text) {
    QLineEdit* field = dialog->findChild<QLineEdit*>(name);
    QVERIFY2(field != nullptr, name);
    field->setText(text);
}

struct UdpForm {
    bool multicast = false;
    QString remoteIp, localIp, group, interfaceIp;
    int remotePort = 0, localPort = 0, groupPort = 0;
};

// Creates a UDP session through its dialog, on the pane the form asks for.
QTreeWidgetItem* CreateUdp(Window& w, const UdpForm& form) {
    w.Click(w.Root("UDP"));
    WhenModal<QDialog>([form](QDialog* dialog) {
        if (form.multicast) {
            QTest::mouseClick(dialog->findChild<QPushButton*>("multicastButton"), Qt::LeftButton);
            SetField(dialog, "multicastIpLineEdit", form.group);
            SetField(dialog, "multicastPortLineEdit", QString::number(form.groupPort));
            SetField(dialog, "interfaceLineEdit", form.interfaceIp);
            QTest::mouseClick(dialog->findChild<QPushButton*>("confirmButton1"), Qt::LeftButton);
        } else {
            SetField(dialog, "ipLineEdit", form.remoteIp);
            SetField(dialog, "portLineEdit", QString::number(form.remotePort));
            SetField(dialog, "localIPLineEdit", form.localIp);
            SetField(dialog, "localPortLineEdit", QString::number(form.localPort));
            QTest::mouseClick(dialog->findChild<QPushButton*>("confirmButton"), Qt::LeftButton);
        }
    });
    w.Press("createButton");
    return w.Current();
}

// Creates a serial-port session through its dialog; the pseudo-terminal is not
// among the system's listed ports, so it is put into the list as a name.
QTreeWidgetItem* CreateSerial(Window& w, const QString& port, int baud) {
    w.Click(w.Root("SerialPort"));
    WhenModal<QDialog>([port, baud](QDialog* dialog) {
        QComboBox* names = dialog->findChild<QComboBox*>("nameComboBox");
        names->addItem(port);
        names->setCurrentIndex(names->count() - 1);
        SetField(dialog, "buardrateLineEdit", QString::number(baud));
        QTest::mouseClick(dialog->findChild<QPushButton*>("confirmButton"), Qt::LeftButton);
    });
    w.Press("createButton");
    return w.Current();
}

void Send(Window& w, const QString& text) {
    w.Type(text);
    w.Press("sendButton");
}

bool ViewShows(Window& w, const QString& tail) {
    return WaitFor([&] { return w.Lines().value(w.Lines().size() - 1).endsWith(tail); });
}

}  // namespace

class WindowUdpComTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { CurrentEncoding = ENCODING_ASCII; }
    void udpUnicastExchangeCloseRestartDelete();
    void udpBusyPortShowsTheLibraryError();
    void udpMulticastInANamespace();
    void serialReopenLostFarEndAndRetry();
    void serialStartButtonRetriesTheStoredPort();
};

void WindowUdpComTest::udpUnicastExchangeCloseRestartDelete() {
    UdpPeer peer;
    QVERIFY(peer.Bound());
    const quint16 local = FreePort();
    Window w;
    UdpForm form;
    form.remoteIp = "127.0.0.1";
    form.remotePort = peer.Port();
    form.localIp = "127.0.0.1";
    form.localPort = local;
    QTreeWidgetItem* item = CreateUdp(w, form);
    QVERIFY(item != nullptr);
    QCOMPARE(item->parent(), w.Root("UDP"));
    QCOMPARE(item->text(0), QString("127.0.0.1:%1").arg(peer.Port()));
    QCOMPARE(SessionItem::FromTreeItem(item)->GetType(), int(TYPE_UDP));
    QCOMPARE(item->icon(0).cacheKey(), IconNetRun().cacheKey());
    QCOMPARE(Row0(w), QString("远程IP：|127.0.0.1|远程Port：|%1").arg(peer.Port()));
    QVERIFY(Label(w, "L23label")->isVisible());
    QCOMPARE(Label(w, "L23label")->text(), QString("本地Port："));
    QCOMPARE(Label(w, "L24label")->text(), QString::number(local));
    QCOMPARE(w.start->text(), QString("启用"));
    QCOMPARE(w.closeButton->text(), QString("关闭"));
    QVERIFY(!w.start->isEnabled());
    QVERIFY(w.closeButton->isEnabled());
    QCOMPARE(w.led->styleSheet(), QString(kLedOn));
    QVERIFY(w.recv->isVisible());

    Send(w, "hello peer");
    QCOMPARE(peer.Receive(3000, KeepTicking), QByteArray("hello peer"));
    QVERIFY(w.Lines().value(0).endsWith("=>] hello peer"));
    QVERIFY(peer.SendTo("hello window", "127.0.0.1", local));
    QVERIFY(ViewShows(w, "<=] hello window"));

    w.Press("closeButton");
    QCOMPARE(w.led->styleSheet(), QString(kLedOff));
    QCOMPARE(item->icon(0).cacheKey(), IconNetStop().cacheKey());
    QVERIFY(w.start->isEnabled());
    QVERIFY(!w.closeButton->isEnabled());
    Send(w, "while closed");
    QCOMPARE(w.Lines().last(), QString("Error : client is disconnected"));
    QCOMPARE(peer.Receive(100, KeepTicking), QByteArray());

    w.Press("startButton");
    QCOMPARE(w.led->styleSheet(), QString(kLedOn));
    QCOMPARE(Label(w, "L24label")->text(), QString::number(local));
    QVERIFY(peer.SendTo("after restart", "127.0.0.1", local));
    QVERIFY(ViewShows(w, "<=] after restart"));

    w.Press("deleteButton");
    QCOMPARE(w.Root("UDP")->childCount(), 0);
    QCOMPARE(w.Current(), w.Root("UDP"));
    // The socket went with the session: the port is free again.
    QVERIFY(WaitFor([&] { return UdpPeer("127.0.0.1", local).Bound(); }));
}

void WindowUdpComTest::udpBusyPortShowsTheLibraryError() {
    UdpPeer holder;
    QVERIFY(holder.Bound());
    Window w;
    QString shown;
    CatchMessage(&shown);
    UdpForm form;
    form.remoteIp = "127.0.0.1";
    form.remotePort = 9;
    form.localIp = "127.0.0.1";
    form.localPort = holder.Port();
    QTreeWidgetItem* item = CreateUdp(w, form);
    QVERIFY(WaitFor([&] { return !shown.isEmpty(); }));
    QVERIFY2(shown.startsWith("Error|") && shown.contains("address already in use"),
             qPrintable(shown));
    // It stays in the tree, stopped, and the start button retries.
    QCOMPARE(w.Root("UDP")->childCount(), 1);
    QCOMPARE(item->icon(0).cacheKey(), IconNetStop().cacheKey());
    QCOMPARE(w.led->styleSheet(), QString(kLedOff));
    QVERIFY(w.start->isEnabled());
    shown.clear();
    CatchMessage(&shown);
    w.Press("startButton");
    QVERIFY(WaitFor([&] { return !shown.isEmpty(); }));
    QVERIFY2(shown.contains("address already in use"), qPrintable(shown));
}

void WindowUdpComTest::udpMulticastInANamespace() {
    if (!netns::Inside()) {
        const int status = netns::RunSelfInNamespace("udpMulticastInANamespace");
        if (status == netns::kUnavailable)
            QSKIP("network namespaces are not available here");
        QCOMPARE(status, 0);
        return;
    }
    // From here on: a fresh copy of this program inside the private namespace.
    const quint16 groupPort = FreePort("0.0.0.0");
    Window w;
    UdpForm form;
    form.multicast = true;
    form.group = kGroup;
    form.groupPort = groupPort;
    form.interfaceIp = "127.0.0.1";
    QTreeWidgetItem* item = CreateUdp(w, form);
    QVERIFY(item != nullptr);
    QCOMPARE(item->text(0), QString("%1:%2").arg(kGroup).arg(groupPort));
    QCOMPARE(Row0(w), QString("组播IP：|%1|组播Port：|%2").arg(kGroup).arg(groupPort));
    QVERIFY(!Label(w, "L23label")->isVisible());
    QVERIFY(!Label(w, "L24label")->isVisible());
    QCOMPARE(w.led->styleSheet(), QString(kLedOn));
    // Bound on 0.0.0.0 at the group's port.
    QVERIFY(!UdpPeer("0.0.0.0", groupPort).Bound());

    UdpPeer member;
    QVERIFY(member.SendTo("to the group", kGroup, groupPort));
    QVERIFY(ViewShows(w, "<=] to the group"));
    // A send goes to the group, so the session hears its own datagram back.
    Send(w, "from the window");
    QVERIFY(ViewShows(w, "<=] from the window"));

    // A join that fails says so, not some older library text.
    QString shown;
    CatchMessage(&shown);
    form.groupPort = FreePort("0.0.0.0");
    form.interfaceIp = "10.9.8.7";
    QTreeWidgetItem* failed = CreateUdp(w, form);
    QVERIFY(WaitFor([&] { return !shown.isEmpty(); }));
    QVERIFY2(shown.startsWith("Error|") && shown.contains("join multicast"), qPrintable(shown));
    QCOMPARE(failed->icon(0).cacheKey(), IconNetStop().cacheKey());
    QVERIFY(w.start->isEnabled());
}

void WindowUdpComTest::serialReopenLostFarEndAndRetry() {
    PtyPair pty;
    QVERIFY2(pty.Ok(), "no pseudo-terminal");
    const QString path = QString::fromStdString(pty.Path());
    Window w;
    QTreeWidgetItem* item = CreateSerial(w, path, 115200);
    QVERIFY(item != nullptr);
    QCOMPARE(SessionItem::FromTreeItem(item)->GetType(), int(TYPE_SERIAL_PORT));
    w.Press("closeButton");
    QCOMPARE(w.led->styleSheet(), QString(kLedOff));
    // Bytes written while the port was closed are dropped by the reopen.
    QVERIFY(pty.WriteFar("stale"));
    w.Press("startButton");
    QCOMPARE(w.led->styleSheet(), QString(kLedOn));
    QCOMPARE(item->icon(0).cacheKey(), IconSerialRun().cacheKey());
    QVERIFY(pty.WriteFar("again"));
    QVERIFY(ViewShows(w, "<=] again"));
    QVERIFY(!w.Lines().join('\n').contains("stale"));
    Send(w, "back");
    QCOMPARE(QByteArray::fromStdString(pty.ReadFar(4)), QByteArray("back"));

    // The far end goes away: the write fails under its sent line, and from
    // then on the port counts as unavailable until it is opened again.
    pty.CloseMaster();
    Send(w, "into the void");
    QVERIFY(w.Lines().value(w.Lines().size() - 2).endsWith("=>] into the void"));
    QCOMPARE(w.Lines().last(), QString("Error : send failed"));
    Send(w, "once more");
    QCOMPARE(w.Lines().last(), QString("Error : com is unavailable"));

    w.Press("deleteButton");
    QCOMPARE(w.Root("SerialPort")->childCount(), 0);
    QCOMPARE(w.Current(), w.Root("SerialPort"));
}

void WindowUdpComTest::serialStartButtonRetriesTheStoredPort() {
    Window w;
    QString shown;
    CatchMessage(&shown);
    const QString path = "/dev/marovent-no-such-port-either";
    QTreeWidgetItem* item = CreateSerial(w, path, 9600);
    QVERIFY(WaitFor([&] { return !shown.isEmpty(); }));
    QCOMPARE(shown, QString("Error|%1 does not exist or is occupied.").arg(path));
    QVERIFY(w.start->isEnabled());
    QVERIFY(!w.closeButton->isEnabled());
    Send(w, "nowhere");
    QCOMPARE(w.Lines().last(), QString("Error : com is unavailable"));
    shown.clear();
    CatchMessage(&shown);
    w.Press("startButton");
    QVERIFY(WaitFor([&] { return !shown.isEmpty(); }));
    QCOMPARE(shown, QString("Error|%1 does not exist or is occupied.").arg(path));
    QCOMPARE(item->icon(0).cacheKey(), IconSerialStop().cacheKey());
}

QTEST_MAIN(WindowUdpComTest)
#include "tst_window_udpcom.moc"
