// What each dialog stores: nothing when cancelled; its keys when confirmed, its getters
// answering from them; the same keys when opened again and confirmed untouched.
#include "LocalInterfaces.h"
#include "OpenPanelCOM.h"
#include "OpenPanelKCPClient.h"
#include "OpenPanelKCPServer.h"
#include "OpenPanelTCPServer.h"
#include "OpenPanelUDPClient.h"
#include "Settings.h"
#include "support/WindowDriver.h"

using windowdriver::Fill;

namespace {

QDialog* Make(const QString& kind) {
    if (kind == "TCP Server" || kind == "KCP Server")
        return kind == "TCP Server" ? (QDialog*)new OpenPanelTCPServer : new OpenPanelKCPServer;
    return kind == "KCP Client" ? (QDialog*)new OpenPanelKCPClient : kind == "COM" ? (QDialog*)new OpenPanelCOM
                                                                                    : new OpenPanelUDPClient;
}

// The dialog's getters as one text; -1 for the mode of a TCP dialog.
QString Getters(QDialog* d) {
    auto n = [](int value) { return QString::number(value); };
    if (auto* e = qobject_cast<OpenPanelEndpoint*>(d)) {
        auto* server = qobject_cast<OpenPanelKCPServer*>(d);
        auto* client = qobject_cast<OpenPanelKCPClient*>(d);
        const int mode = server ? server->GetMode() : client ? client->GetMode() : -1;
        return QStringList{e->GetIP(), n(e->GetPort()), n(mode)}.join('|');
    }
    if (auto* c = qobject_cast<OpenPanelCOM*>(d))
        return QStringList{c->GetPortName(), n(c->GetBaudRate()), n(c->GetParity()), n(c->GetDataBits()),
                           n(c->GetStopBits()), n(c->GetRTS()), n(c->GetDTR())}.join('|');
    auto* u = qobject_cast<OpenPanelUDPClient*>(d);
    return QStringList{n(u->IsMulticast()), u->GetRemoteIP(), n(u->GetRemotePort()), u->GetLocalIP(),
                       n(u->GetLocalPort()), u->GetInterfaceIP()}.join('|');
}

// The store as sorted "KEY=value"; a port name the machine lacks is not shown again.
QStringList Stored(bool withPortName = true) {
    QStringList entries;
    for (const QString& key : GetSettings()->allKeys())
        if (withPortName || key != "COM_NAME")
            entries << key + "=" + GetSettings()->value(key).toString();
    return entries;
}

const QStringList kUdpFields = {"ipLineEdit", "127.0.0.9", "portLineEdit", "007", "localIPLineEdit", "127.0.0.8",
                                "localPortLineEdit", "0100", "multicastIpLineEdit", "239.1.2.3",
                                "multicastPortLineEdit", "60000", "interfaceLineEdit", "127.0.0.7"};
const QStringList kUdpStored = {"INTERFACE_IP=127.0.0.7", "MULTICAST_IP=239.1.2.3", "MULTICAST_PORT=60000",
                                "UDPCLIENT_IP=127.0.0.9", "UDPCLIENT_PORT=7", "UDPLOCAL_IP=127.0.0.8",
                                "UDPLOCAL_PORT=100"};

}  // namespace

class TestOpenPanels : public QObject {
    Q_OBJECT
private slots:
    // fields: widget, value pairs; "key:K", value stores K before the dialog is built.
    void storesAndRestores_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QString>("confirm");
        QTest::addColumn<QStringList>("stored");
        QTest::addColumn<QString>("getters");
        QTest::newRow("tcp server, letters dropped")
            << "TCP Server" << QStringList{"ipLineEdit", "127.1.2.3", "portLineEdit", "0x07"} << "confirmButton"
            << QStringList{"TCPSERVER_IP=127.1.2.3", "TCPSERVER_PORT=7"} << "127.1.2.3|7|-1";
        QTest::newRow("kcp server, stored mode out of range")
            << "KCP Server" << QStringList{"key:KCPSERVER_MODE", "7"} << "confirmButton"
            << QStringList{"KCPSERVER_IP=127.0.0.1", "KCPSERVER_MODE=0", "KCPSERVER_PORT=5555"} << "127.0.0.1|5555|0";
        QTest::newRow("kcp client") << "KCP Client" << QStringList{"modeComboBox", "Ultra"} << "confirmButton"
                                    << QStringList{"KCPCLIENT_IP=127.0.0.1", "KCPCLIENT_MODE=2", "KCPCLIENT_PORT=5555"}
                                    << "127.0.0.1|5555|2";
        QTest::newRow("com") << "COM"
                             << QStringList{"nameComboBox", "ttyS9", "buardrateLineEdit", "1152k00", "parityComboBox",
                                            "Space", "dataBitsComboBox", "5", "stopBitsComboBox", "Two",
                                            "rtsCheckBox", "0"}
                             << "confirmButton"
                             << QStringList{"COM_BUARDRATE=115200", "COM_DATABITS=0", "COM_DTR=1", "COM_NAME=ttyS9",
                                            "COM_PARITY=4", "COM_RTS=0", "COM_STOPBITS=2"}
                             << "ttyS9|115200|4|5|2|0|1";
        QTest::newRow("udp") << "UDP" << kUdpFields << "confirmButton" << kUdpStored
                             << "0|127.0.0.9|7|127.0.0.8|100|127.0.0.7";
        QTest::newRow("udp group") << "UDP" << kUdpFields + QStringList{"multicastButton", ""} << "confirmButton1"
                                   << kUdpStored << "1|239.1.2.3|60000|0.0.0.0|60000|127.0.0.7";
    }
    void storesAndRestores() {
        QFETCH(QString, kind);
        QFETCH(QStringList, fields);
        QFETCH(QString, confirm);
        QFETCH(QStringList, stored);
        QFETCH(QString, getters);
        GetSettings()->clear();
        for (int i = 0; i + 1 < fields.size(); i += 2)
            if (fields[i].startsWith("key:"))
                GetSettings()->setValue(fields[i].mid(4), fields[i + 1]);
        QStringList expected = Stored();
        for (int pass = 0; pass < 3; ++pass) {  // cancelled, confirmed, opened again and confirmed untouched
            std::unique_ptr<QDialog> dialog(Make(kind));
            for (int i = 0; pass < 2 && i + 1 < fields.size(); i += 2)
                Fill(dialog.get(), fields[i], fields[i + 1]);
            pass == 0 ? dialog->reject() : Fill(dialog.get(), confirm, "");
            QCOMPARE(dialog->result(), pass == 0 ? 0 : 1);
            QCOMPARE(Stored(pass < 2), pass == 1 ? stored : expected);
            if (pass == 1) {
                QCOMPARE(Getters(dialog.get()), getters);
                expected = Stored(false);
            }
        }
    }

    void broadcastAddress() {
        QCOMPARE(BroadcastAddress("172.16.37.9", "255.255.240.0"), QString("172.16.47.255"));
    }
};

QTEST_MAIN(TestOpenPanels)
#include "tst_openpanels.moc"
