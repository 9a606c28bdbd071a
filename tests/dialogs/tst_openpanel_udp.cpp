// The UDP dialog: both panes, the seven keys from either confirm button, the
// two detect cursors and the broadcast address each interface gives.
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "LocalInterfaces.h"
#include "OpenPanelUDPClient.h"
#include "dialogs/DialogTestSupport.h"

using namespace dialogtest;

namespace {

const char* const kLineEdits[] = {"ipLineEdit", "portLineEdit", "localIPLineEdit", "localPortLineEdit",
                                  "multicastIpLineEdit", "interfaceLineEdit", "multicastPortLineEdit"};
const char* const kPortEdits[] = {"portLineEdit", "localPortLineEdit", "multicastPortLineEdit"};

QLineEdit* Field(QObject* dialog, const char* name) {
    return dialog->findChild<QLineEdit*>(name);
}

QPushButton* Button(QObject* dialog, const char* name) {
    return dialog->findChild<QPushButton*>(name);
}

QWidget* Pane(QObject* dialog, const char* name) {
    return dialog->findChild<QWidget*>(name);
}

// Types every field anew: a distinct value per key, ports with leading zeros.
void TypeAll(QObject* dialog) {
    const QList<QPair<const char*, QString>> typed{
        {"ipLineEdit", "10.0.0.9"}, {"portLineEdit", "007"}, {"localIPLineEdit", "10.0.0.8"},
        {"localPortLineEdit", "0100"}, {"multicastIpLineEdit", "239.1.2.3"},
        {"multicastPortLineEdit", "060000"}, {"interfaceLineEdit", "10.0.0.7"}};
    for (const auto& entry : typed) {
        QLineEdit* field = Field(dialog, entry.first);
        field->clear();
        QTest::keyClicks(field, entry.second);
    }
}

const QMap<QString, QString> kTypedFile{
    {"UDPCLIENT_IP", "10.0.0.9"}, {"UDPCLIENT_PORT", "7"}, {"UDPLOCAL_IP", "10.0.0.8"},
    {"UDPLOCAL_PORT", "100"}, {"MULTICAST_IP", "239.1.2.3"}, {"MULTICAST_PORT", "60000"},
    {"INTERFACE_IP", "10.0.0.7"}};

}  // namespace

class TestOpenPanelUDP : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void form();
    void defaultsOnFirstStart();
    void paneSwitch();
    void confirmStoresBothPanes_data();
    void confirmStoresBothPanes();
    void emptyPortsStoredAsZero();
    void cancelStoresNothing();
    void storedInterfaceWins();
    void broadcastAddress_data();
    void broadcastAddress();
    void detectCursorsOnMachine();
    void detectInNamespace();
    void detectWithoutInterfaces();
};

void TestOpenPanelUDP::initTestCase() {
    IsolateSettings();
}

void TestOpenPanelUDP::init() {
    ClearSettings();
}

void TestOpenPanelUDP::form() {
    OpenPanelUDPClient dialog;
    QCOMPARE(dialog.windowTitle(), QString("OpenPanelUDPClient"));
    QVERIFY(!(dialog.windowFlags() & Qt::WindowContextHelpButtonHint));
    for (const char* name : kLineEdits) {
        QLineEdit* field = Field(&dialog, name);
        QVERIFY2(field != nullptr, name);
        QVERIFY2(HasDialogFont(field), name);
        QVERIFY2(!field->testAttribute(Qt::WA_InputMethodEnabled), name);
    }
    for (const char* name : kPortEdits)
        QVERIFY2(IsNumberField(Field(&dialog, name)), name);
    bool fontsOk = false;
    QCOMPARE(LabelTexts(&dialog, &fontsOk),
             QStringList({"远程 IP:", "远程 Port:", "本机 IP:", "本机 Port:", "组播 IP:", "网卡:", "组播 Port:"}));
    QVERIFY(fontsOk);
    const QList<QPair<const char*, QString>> buttons{
        {"broadcastButton", "广播地址"}, {"detectButton", "检测IP"}, {"multicastButton", "组播"},
        {"confirmButton", "确定"}, {"detect2Button", "检测IP"}, {"udpButton", "UDP"}, {"confirmButton1", "确定"}};
    for (const auto& entry : buttons) {
        QPushButton* button = Button(&dialog, entry.first);
        QVERIFY2(button != nullptr, entry.first);
        QCOMPARE(button->text(), entry.second);
    }
    // Each button sits on its own pane.
    QVERIFY(Pane(&dialog, "normalUDPWidget")->isAncestorOf(Button(&dialog, "multicastButton")));
    QVERIFY(Pane(&dialog, "groupUDPWidget")->isAncestorOf(Button(&dialog, "detect2Button")));
}

void TestOpenPanelUDP::defaultsOnFirstStart() {
    OpenPanelUDPClient dialog;
    QCOMPARE(Field(&dialog, "ipLineEdit")->text(), QString("127.0.0.1"));
    QCOMPARE(Field(&dialog, "portLineEdit")->text(), QString("5555"));
    QCOMPARE(Field(&dialog, "localIPLineEdit")->text(), QString("0.0.0.0"));
    QCOMPARE(Field(&dialog, "localPortLineEdit")->text(), QString("5555"));
    QCOMPARE(Field(&dialog, "multicastIpLineEdit")->text(), QString("224.1.1.1"));
    QCOMPARE(Field(&dialog, "multicastPortLineEdit")->text(), QString("65000"));
    // The interface field shows the first IPv4 address of the machine.
    QList<KernelInterface> kernel = KernelIPv4Interfaces();
    QString firstAddress = kernel.isEmpty() ? QString("127.0.0.1") : kernel.first().address;
    QCOMPARE(Field(&dialog, "interfaceLineEdit")->text(), firstAddress);

    QVERIFY(!dialog.IsMulticast());
    QCOMPARE(dialog.GetRemoteIP(), QString("127.0.0.1"));
    QCOMPARE(dialog.GetRemotePort(), 5555);
    QCOMPARE(dialog.GetLocalIP(), QString("0.0.0.0"));
    QCOMPARE(dialog.GetLocalPort(), 5555);
    QCOMPARE(dialog.GetInterfaceIP(), QString("127.0.0.1"));
    QVERIFY(StoredFile().isEmpty());
}

void TestOpenPanelUDP::paneSwitch() {
    OpenPanelUDPClient dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QWidget* normal = Pane(&dialog, "normalUDPWidget");
    QWidget* group = Pane(&dialog, "groupUDPWidget");
    QVERIFY(normal->isVisible() && !group->isVisible());
    QCOMPARE(dialog.focusWidget(), static_cast<QWidget*>(Button(&dialog, "confirmButton")));

    QTest::mouseClick(Button(&dialog, "multicastButton"), Qt::LeftButton);
    QVERIFY(!normal->isVisible() && group->isVisible());
    QVERIFY(dialog.IsMulticast());
    QCOMPARE(dialog.focusWidget(), static_cast<QWidget*>(Button(&dialog, "confirmButton1")));

    QTest::mouseClick(Button(&dialog, "udpButton"), Qt::LeftButton);
    QVERIFY(normal->isVisible() && !group->isVisible());
    QVERIFY(!dialog.IsMulticast());
    QCOMPARE(dialog.focusWidget(), static_cast<QWidget*>(Button(&dialog, "confirmButton")));
}

void TestOpenPanelUDP::confirmStoresBothPanes_data() {
    QTest::addColumn<bool>("multicast");
    QTest::newRow("normal pane") << false;
    QTest::newRow("group pane") << true;
}

// Either confirm button stores all seven keys; the getters answer for the pane
// that was showing, the group pane binding 0.0.0.0 on the group port.
void TestOpenPanelUDP::confirmStoresBothPanes() {
    QFETCH(bool, multicast);
    OpenPanelUDPClient dialog;
    TypeAll(&dialog);
    if (multicast)
        Button(&dialog, "multicastButton")->click();
    QPushButton* confirm = Button(&dialog, multicast ? "confirmButton1" : "confirmButton");
    QTimer::singleShot(0, confirm, &QPushButton::click);
    QTimer::singleShot(10000, &dialog, &QDialog::reject);  // watchdog
    QCOMPARE(dialog.exec(), 1);

    QCOMPARE(StoredFile(), kTypedFile);
    QCOMPARE(dialog.IsMulticast(), multicast);
    QCOMPARE(dialog.GetInterfaceIP(), QString("10.0.0.7"));
    if (multicast) {
        QCOMPARE(dialog.GetRemoteIP(), QString("239.1.2.3"));
        QCOMPARE(dialog.GetRemotePort(), 60000);
        QCOMPARE(dialog.GetLocalIP(), QString("0.0.0.0"));
        QCOMPARE(dialog.GetLocalPort(), 60000);
    } else {
        QCOMPARE(dialog.GetRemoteIP(), QString("10.0.0.9"));
        QCOMPARE(dialog.GetRemotePort(), 7);
        QCOMPARE(dialog.GetLocalIP(), QString("10.0.0.8"));
        QCOMPARE(dialog.GetLocalPort(), 100);
    }

    // The pane is not stored: the next dialog opens on the normal pane with the values.
    OpenPanelUDPClient again;
    QVERIFY(!again.IsMulticast());
    QVERIFY(Pane(&again, "groupUDPWidget")->isHidden());
    QCOMPARE(Field(&again, "multicastPortLineEdit")->text(), QString("60000"));
    QCOMPARE(Field(&again, "interfaceLineEdit")->text(), QString("10.0.0.7"));
}

void TestOpenPanelUDP::emptyPortsStoredAsZero() {
    OpenPanelUDPClient dialog;
    for (const char* name : kPortEdits)
        Field(&dialog, name)->clear();
    Button(&dialog, "confirmButton")->click();
    QMap<QString, QString> file = StoredFile();
    QCOMPARE(file.size(), 7);
    for (const char* key : {"UDPCLIENT_PORT", "UDPLOCAL_PORT", "MULTICAST_PORT"})
        QCOMPARE(file.value(key), QString("0"));
}

void TestOpenPanelUDP::cancelStoresNothing() {
    GetSettings()->setValue("UDPCLIENT_IP", "192.0.2.5");
    GetSettings()->setValue("MULTICAST_PORT", "61000");
    QMap<QString, QString> before = StoredFile();
    OpenPanelUDPClient dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    TypeAll(&dialog);
    Button(&dialog, "detectButton")->click();
    Button(&dialog, "multicastButton")->click();
    dialog.close();
    QCOMPARE(dialog.result(), 0);
    QCOMPARE(StoredFile(), before);
}

// A stored interface, even an empty one, is shown instead of the first address.
void TestOpenPanelUDP::storedInterfaceWins() {
    GetSettings()->setValue("INTERFACE_IP", "");
    OpenPanelUDPClient dialog;
    QCOMPARE(Field(&dialog, "interfaceLineEdit")->text(), QString(""));
}

void TestOpenPanelUDP::broadcastAddress_data() {
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("netmask");
    QTest::addColumn<QString>("broadcast");
    QTest::newRow("/24") << "192.168.1.20" << "255.255.255.0" << "192.168.1.255";
    QTest::newRow("10/24") << "10.0.0.7" << "255.255.255.0" << "10.0.0.255";
    QTest::newRow("/8") << "127.0.0.1" << "255.0.0.0" << "127.255.255.255";
    QTest::newRow("/20") << "172.16.37.9" << "255.255.240.0" << "172.16.47.255";
    QTest::newRow("/32") << "10.1.2.3" << "255.255.255.255" << "10.1.2.3";
    QTest::newRow("/0") << "10.1.2.3" << "0.0.0.0" << "255.255.255.255";
}

void TestOpenPanelUDP::broadcastAddress() {
    QFETCH(QString, address);
    QFETCH(QString, netmask);
    QFETCH(QString, broadcast);
    QCOMPARE(BroadcastAddress(address, netmask), broadcast);
}

// Against the machine's own list: each button walks it with its own cursor
// and "广播地址" fills the broadcast address of the interface last picked.
void TestOpenPanelUDP::detectCursorsOnMachine() {
    QList<KernelInterface> kernel = KernelIPv4Interfaces();
    if (kernel.isEmpty())
        QSKIP("this machine has no IPv4 interface that is up");
    OpenPanelUDPClient dialog;
    QLineEdit* remote = Field(&dialog, "ipLineEdit");
    QLineEdit* local = Field(&dialog, "localIPLineEdit");
    QLineEdit* iface = Field(&dialog, "interfaceLineEdit");
    QPushButton* broadcast = Button(&dialog, "broadcastButton");

    broadcast->click();
    QCOMPARE(remote->text(), QString("127.0.0.1"));

    for (int round = 0; round < 2; ++round) {
        for (const KernelInterface& entry : kernel) {
            Button(&dialog, "detectButton")->click();
            QCOMPARE(local->text(), entry.address);
            broadcast->click();
            QCOMPARE(remote->text(), BroadcastAddress(entry.address, entry.netmask));
        }
    }
    // The second cursor has not moved: it starts at the first interface.
    iface->clear();
    Button(&dialog, "detect2Button")->click();
    QCOMPARE(iface->text(), kernel.first().address);
    QVERIFY(StoredFile().isEmpty());
}

// In a private namespace whose loopback carries 127.0.0.1/8 and 192.168.1.20/24
// the broadcast addresses are 127.255.255.255 and 192.168.1.255 (computed,
// nothing is sent).
void TestOpenPanelUDP::detectInNamespace() {
    RUN_IN_OWN_NAMESPACE((QStringList{"-rn"}), TwoAddressLoopback());
    OpenPanelUDPClient dialog;
    QLineEdit* remote = Field(&dialog, "ipLineEdit");
    QLineEdit* local = Field(&dialog, "localIPLineEdit");
    QLineEdit* iface = Field(&dialog, "interfaceLineEdit");
    QPushButton* detect = Button(&dialog, "detectButton");
    QPushButton* detect2 = Button(&dialog, "detect2Button");
    QPushButton* broadcast = Button(&dialog, "broadcastButton");
    QCOMPARE(iface->text(), QString("127.0.0.1"));

    detect->click();
    detect->click();
    QCOMPARE(local->text(), QString("192.168.1.20"));
    broadcast->click();
    QCOMPARE(remote->text(), QString("192.168.1.255"));

    detect2->click();  // its own cursor: the first interface
    QCOMPARE(iface->text(), QString("127.0.0.1"));
    broadcast->click();
    QCOMPARE(remote->text(), QString("127.255.255.255"));

    detect->click();  // wrapped around
    QCOMPARE(local->text(), QString("127.0.0.1"));
    detect2->click();
    QCOMPARE(iface->text(), QString("192.168.1.20"));
}

// With no IPv4 interface at all (a namespace whose loopback is down) the detect
// buttons leave every field and the broadcast target alone, and the interface
// field shows the window's default.
void TestOpenPanelUDP::detectWithoutInterfaces() {
    RUN_IN_OWN_NAMESPACE((QStringList{"-rn"}), "true");
    OpenPanelUDPClient dialog;
    QLineEdit* local = Field(&dialog, "localIPLineEdit");
    QLineEdit* iface = Field(&dialog, "interfaceLineEdit");
    QCOMPARE(iface->text(), QString("127.0.0.1"));
    local->setText("10.0.0.1");
    iface->setText("10.0.0.2");
    for (int i = 0; i < 3; ++i) {
        Button(&dialog, "detectButton")->click();
        Button(&dialog, "detect2Button")->click();
    }
    QCOMPARE(local->text(), QString("10.0.0.1"));
    QCOMPARE(iface->text(), QString("10.0.0.2"));
    Button(&dialog, "broadcastButton")->click();
    QCOMPARE(Field(&dialog, "ipLineEdit")->text(), QString("127.0.0.1"));
}

QTEST_MAIN(TestOpenPanelUDP)
#include "tst_openpanel_udp.moc"
