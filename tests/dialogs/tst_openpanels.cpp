// What each dialog stores and gives back: a cancelled dialog stores nothing; a
// confirmed one stores its keys and answers its getters from them; a dialog
// opened again shows what was stored.
#include "LocalInterfaces.h"
#include "OpenPanelCOM.h"
#include "OpenPanelKCPClient.h"
#include "OpenPanelKCPServer.h"
#include "OpenPanelTCPClient.h"
#include "OpenPanelTCPServer.h"
#include "OpenPanelUDPClient.h"
#include "Settings.h"
#include "support/WindowDriver.h"

using windowdriver::Fill;

namespace {

QDialog* Make(const QString& kind) {
    if (kind == "TCP Server")
        return new OpenPanelTCPServer;
    if (kind == "TCP Client")
        return new OpenPanelTCPClient;
    if (kind == "KCP Server")
        return new OpenPanelKCPServer;
    if (kind == "KCP Client")
        return new OpenPanelKCPClient;
    return kind == "COM" ? (QDialog*)new OpenPanelCOM : new OpenPanelUDPClient;
}

// The dialog's getters as one text.
QString Getters(QDialog* d) {
    auto n = [](int value) { return QString::number(value); };
    if (auto* e = qobject_cast<OpenPanelEndpoint*>(d)) {
        auto* server = qobject_cast<OpenPanelKCPServer*>(d);
        auto* client = qobject_cast<OpenPanelKCPClient*>(d);
        return e->GetIP() + "|" + n(e->GetPort()) + (server ? "|" + n(server->GetMode()) : "") +
               (client ? "|" + n(client->GetMode()) : "");
    }
    if (auto* c = qobject_cast<OpenPanelCOM*>(d))
        return QStringList{c->GetPortName(), n(c->GetBaudRate()), n(c->GetParity()), n(c->GetDataBits()),
                           n(c->GetStopBits()), n(c->GetRTS()), n(c->GetDTR())}.join('|');
    auto* u = qobject_cast<OpenPanelUDPClient*>(d);
    return QStringList{n(u->IsMulticast()), u->GetRemoteIP(), n(u->GetRemotePort()), u->GetLocalIP(),
                       n(u->GetLocalPort()), u->GetInterfaceIP()}.join('|');
}

// What a field shows: a line edit its text, a combo box its item, a check box "1" or "0".
QString Shown(QDialog* d, const QString& name) {
    QWidget* widget = d->findChild<QWidget*>(name);
    if (auto* edit = qobject_cast<QLineEdit*>(widget))
        return edit->text();
    if (auto* combo = qobject_cast<QComboBox*>(widget))
        return combo->currentText();
    auto* box = qobject_cast<QCheckBox*>(widget);
    return box == nullptr ? QString() : box->isChecked() ? "1" : "0";
}

// The store as sorted "KEY=value" entries.
QStringList Stored() {
    QStringList entries;
    for (const QString& key : GetSettings()->allKeys())
        entries << key + "=" + GetSettings()->value(key).toString();
    return entries;
}

const QStringList kUdpFields = {
    "ipLineEdit", "10.0.0.9", "10.0.0.9", "portLineEdit", "007", "7", "localIPLineEdit", "10.0.0.8", "10.0.0.8",
    "localPortLineEdit", "0100", "100", "multicastIpLineEdit", "239.1.2.3", "239.1.2.3",
    "multicastPortLineEdit", "60000", "60000", "interfaceLineEdit", "10.0.0.7", "10.0.0.7"};
const QStringList kUdpStored = {"INTERFACE_IP=10.0.0.7", "MULTICAST_IP=239.1.2.3", "MULTICAST_PORT=60000",
                                "UDPCLIENT_IP=10.0.0.9", "UDPCLIENT_PORT=7", "UDPLOCAL_IP=10.0.0.8",
                                "UDPLOCAL_PORT=100"};

}  // namespace

class TestOpenPanels : public QObject {
    Q_OBJECT
private slots:
    // fields: widget, value typed, value shown when opened again ("*": any);
    // a name "key:K" stores the value under K before the dialogs open.
    void storesAndRestores_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QString>("confirm");
        QTest::addColumn<QStringList>("stored");
        QTest::addColumn<QString>("getters");
        QTest::newRow("tcp server, letters dropped")
            << "TCP Server" << QStringList{"ipLineEdit", "10.1.2.3", "10.1.2.3", "portLineEdit", "0x07", "7"}
            << "confirmButton" << QStringList{"TCPSERVER_IP=10.1.2.3", "TCPSERVER_PORT=7"} << "10.1.2.3|7";
        QTest::newRow("tcp client, empty") << "TCP Client" << QStringList{"ipLineEdit", "", "", "portLineEdit", "", "0"}
                                           << "confirmButton" << QStringList{"TCPCLIENT_IP=", "TCPCLIENT_PORT=0"} << "|0";
        QTest::newRow("kcp server, mode out of range")
            << "KCP Server" << QStringList{"key:KCPSERVER_MODE", "7", ""} << "confirmButton"
            << QStringList{"KCPSERVER_IP=127.0.0.1", "KCPSERVER_MODE=0", "KCPSERVER_PORT=5555"} << "127.0.0.1|5555|0";
        QTest::newRow("kcp client") << "KCP Client" << QStringList{"modeComboBox", "Ultra", "Ultra"} << "confirmButton"
                                    << QStringList{"KCPCLIENT_IP=127.0.0.1", "KCPCLIENT_MODE=2", "KCPCLIENT_PORT=5555"}
                                    << "127.0.0.1|5555|2";
        QTest::newRow("com") << "COM"
                             << QStringList{"nameComboBox", "ttyS9", "*", "buardrateLineEdit", "1152k00", "115200",
                                            "parityComboBox", "Space", "Space", "dataBitsComboBox", "5", "5",
                                            "stopBitsComboBox", "Two", "Two", "rtsCheckBox", "0", "0"}
                             << "confirmButton"
                             << QStringList{"COM_BUARDRATE=115200", "COM_DATABITS=0", "COM_DTR=1", "COM_NAME=ttyS9",
                                            "COM_PARITY=4", "COM_RTS=0", "COM_STOPBITS=2"}
                             << "ttyS9|115200|4|5|2|0|1";
        QTest::newRow("udp") << "UDP" << kUdpFields << "confirmButton" << kUdpStored
                             << "0|10.0.0.9|7|10.0.0.8|100|10.0.0.7";
        QTest::newRow("udp group") << "UDP" << kUdpFields + QStringList{"multicastButton", "", ""} << "confirmButton1"
                                   << kUdpStored << "1|239.1.2.3|60000|0.0.0.0|60000|10.0.0.7";
    }
    void storesAndRestores() {
        QFETCH(QString, kind);
        QFETCH(QStringList, fields);
        QFETCH(QString, confirm);
        QFETCH(QStringList, stored);
        QFETCH(QString, getters);
        GetSettings()->clear();
        for (int i = 0; i + 2 < fields.size(); i += 3)
            if (fields[i].startsWith("key:"))
                GetSettings()->setValue(fields[i].mid(4), fields[i + 1]);
        const QStringList before = Stored();
        std::unique_ptr<QDialog> dialog;
        for (bool cancel : {true, false}) {
            dialog.reset(Make(kind));
            for (int i = 0; i + 2 < fields.size(); i += 3)
                Fill(dialog.get(), fields[i], fields[i + 1]);
            cancel ? dialog->reject() : Fill(dialog.get(), confirm, "");
            QCOMPARE(dialog->result(), cancel ? 0 : 1);
            QCOMPARE(Stored(), cancel ? before : stored);
        }
        QCOMPARE(Getters(dialog.get()), getters);
        std::unique_ptr<QDialog> again(Make(kind));
        for (int i = 0; i + 2 < fields.size(); i += 3)
            QVERIFY(fields[i + 2] == "*" || Shown(again.get(), fields[i]) == fields[i + 2]);
    }

    void broadcastAddress() {
        QCOMPARE(BroadcastAddress("192.168.1.20", "255.255.255.0"), QString("192.168.1.255"));
        QCOMPARE(BroadcastAddress("172.16.37.9", "255.255.240.0"), QString("172.16.47.255"));
    }
};

QTEST_MAIN(TestOpenPanels)
#include "tst_openpanels.moc"
