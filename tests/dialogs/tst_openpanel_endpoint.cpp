// The TCP and KCP dialogs: loading, storing, cancelling and the detect cycle,
// each case run against all four dialogs.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <memory>

#include "OpenPanelKCPClient.h"
#include "OpenPanelKCPServer.h"
#include "OpenPanelTCPClient.h"
#include "OpenPanelTCPServer.h"
#include "dialogs/DialogTestSupport.h"

using namespace dialogtest;

namespace {

enum Kind { TCP_SERVER, TCP_CLIENT, KCP_SERVER, KCP_CLIENT };

struct Expected {
    const char* title;
    const char* ipKey;
    const char* portKey;
    const char* modeKey;  // null for TCP
    bool server;
};

Expected ExpectedOf(Kind kind) {
    switch (kind) {
    case TCP_SERVER: return {"TCP 服务器", "TCPSERVER_IP", "TCPSERVER_PORT", nullptr, true};
    case TCP_CLIENT: return {"TCP 客户端", "TCPCLIENT_IP", "TCPCLIENT_PORT", nullptr, false};
    case KCP_SERVER: return {"OpenPanelKCPServer", "KCPSERVER_IP", "KCPSERVER_PORT", "KCPSERVER_MODE", true};
    default: return {"OpenPanelKCPClient", "KCPCLIENT_IP", "KCPCLIENT_PORT", "KCPCLIENT_MODE", false};
    }
}

std::unique_ptr<OpenPanelEndpoint> Make(Kind kind) {
    switch (kind) {
    case TCP_SERVER: return std::make_unique<OpenPanelTCPServer>();
    case TCP_CLIENT: return std::make_unique<OpenPanelTCPClient>();
    case KCP_SERVER: return std::make_unique<OpenPanelKCPServer>();
    default: return std::make_unique<OpenPanelKCPClient>();
    }
}

// The mode getter exists on the KCP dialogs only.
int ModeOf(OpenPanelEndpoint* dialog) {
    if (auto* server = qobject_cast<OpenPanelKCPServer*>(dialog))
        return server->GetMode();
    if (auto* client = qobject_cast<OpenPanelKCPClient*>(dialog))
        return client->GetMode();
    return -1;
}

template <typename T>
T* Child(QObject* dialog, const char* name) {
    T* child = dialog->findChild<T*>(name);
    if (child == nullptr)
        qWarning("no %s named %s", T::staticMetaObject.className(), name);
    return child;
}

}  // namespace

class TestOpenPanelEndpoint : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void form_data();
    void form();
    void defaultsOnFirstStart_data();
    void defaultsOnFirstStart();
    void confirmStoresTypedValues_data();
    void confirmStoresTypedValues();
    void emptyFieldsStored_data();
    void emptyFieldsStored();
    void cancelStoresNothing_data();
    void cancelStoresNothing();
    void outOfRangeModeSelectsDefault_data();
    void outOfRangeModeSelectsDefault();
    void detectCyclesMachineInterfaces_data();
    void detectCyclesMachineInterfaces();
    void detectCyclesNamespaceInterfaces();
    void detectWithoutInterfaces();

private:
    void kinds();
    void serverKinds();
};

void TestOpenPanelEndpoint::initTestCase() {
    IsolateSettings();
}

void TestOpenPanelEndpoint::init() {
    ClearSettings();
}

void TestOpenPanelEndpoint::kinds() {
    QTest::addColumn<int>("kind");
    QTest::newRow("tcp server") << int(TCP_SERVER);
    QTest::newRow("tcp client") << int(TCP_CLIENT);
    QTest::newRow("kcp server") << int(KCP_SERVER);
    QTest::newRow("kcp client") << int(KCP_CLIENT);
}

void TestOpenPanelEndpoint::serverKinds() {
    QTest::addColumn<int>("kind");
    QTest::newRow("tcp server") << int(TCP_SERVER);
    QTest::newRow("kcp server") << int(KCP_SERVER);
}

void TestOpenPanelEndpoint::form_data() {
    kinds();
}

// What the user sees: title, labels, fonts, no help button, plain-key fields,
// an integer-only port, the focus on confirm for the server dialogs.
void TestOpenPanelEndpoint::form() {
    QFETCH(int, kind);
    Expected expected = ExpectedOf(Kind(kind));
    auto dialog = Make(Kind(kind));
    QCOMPARE(dialog->windowTitle(), QString(expected.title));
    QVERIFY(!(dialog->windowFlags() & Qt::WindowContextHelpButtonHint));

    auto* ip = Child<QLineEdit>(dialog.get(), "ipLineEdit");
    auto* port = Child<QLineEdit>(dialog.get(), "portLineEdit");
    auto* confirm = Child<QPushButton>(dialog.get(), "confirmButton");
    QVERIFY(ip && port && confirm);
    QCOMPARE(confirm->text(), QString("确定"));

    QString side = expected.server ? "本机" : "远程";
    bool fontsOk = false;
    QStringList wanted{side + " IP:", side + " Port:"};
    if (expected.modeKey != nullptr)
        wanted << "模式:";
    QCOMPARE(LabelTexts(dialog.get(), &fontsOk), wanted);
    QVERIFY(fontsOk);

    QVERIFY(HasDialogFont(ip) && HasDialogFont(port));
    QVERIFY(!ip->testAttribute(Qt::WA_InputMethodEnabled));
    QVERIFY(ip->validator() == nullptr);
    QVERIFY(IsNumberField(port));

    auto* mode = dialog->findChild<QComboBox*>("modeComboBox");
    QCOMPARE(mode != nullptr, expected.modeKey != nullptr);
    if (mode != nullptr) {
        QVERIFY(HasDialogFont(mode));
        QStringList items;
        for (int i = 0; i < mode->count(); ++i)
            items << mode->itemText(i);
        QCOMPARE(items, QStringList({"Default", "Fast", "Ultra"}));
    }

    auto* detect = dialog->findChild<QPushButton*>("detectButton");
    QCOMPARE(detect != nullptr, expected.server);
    if (detect != nullptr)
        QCOMPARE(detect->text(), QString("检测IP"));

    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    if (expected.server)
        QCOMPARE(dialog->focusWidget(), static_cast<QWidget*>(confirm));
    else
        QCOMPARE(dialog->focusWidget(), static_cast<QWidget*>(ip));
}

void TestOpenPanelEndpoint::defaultsOnFirstStart_data() {
    kinds();
}

void TestOpenPanelEndpoint::defaultsOnFirstStart() {
    QFETCH(int, kind);
    auto dialog = Make(Kind(kind));
    QCOMPARE(Child<QLineEdit>(dialog.get(), "ipLineEdit")->text(), QString("127.0.0.1"));
    QCOMPARE(Child<QLineEdit>(dialog.get(), "portLineEdit")->text(), QString("5555"));
    if (auto* mode = dialog->findChild<QComboBox*>("modeComboBox")) {
        QCOMPARE(mode->currentText(), QString("Default"));
        QCOMPARE(ModeOf(dialog.get()), 0);
    }
    QCOMPARE(dialog->GetIP(), QString("127.0.0.1"));
    QCOMPARE(dialog->GetPort(), 5555);
    QVERIFY(StoredFile().isEmpty());
}

void TestOpenPanelEndpoint::confirmStoresTypedValues_data() {
    kinds();
}

// Typed through the validator, confirmed through exec as the window runs it.
void TestOpenPanelEndpoint::confirmStoresTypedValues() {
    QFETCH(int, kind);
    Expected expected = ExpectedOf(Kind(kind));
    {
        auto dialog = Make(Kind(kind));
        auto* ip = Child<QLineEdit>(dialog.get(), "ipLineEdit");
        auto* port = Child<QLineEdit>(dialog.get(), "portLineEdit");
        ip->clear();
        QTest::keyClicks(ip, "10.1.2.3");
        port->clear();
        QTest::keyClicks(port, "0x07");  // the validator drops the letter
        QCOMPARE(port->text(), QString("007"));
        if (auto* mode = dialog->findChild<QComboBox*>("modeComboBox"))
            mode->setCurrentIndex(2);

        auto* confirm = Child<QPushButton>(dialog.get(), "confirmButton");
        QTimer::singleShot(0, confirm, &QPushButton::click);
        QTimer::singleShot(10000, dialog.get(), &QDialog::reject);  // watchdog
        QCOMPARE(dialog->exec(), 1);

        QMap<QString, QString> expectedFile{{expected.ipKey, "10.1.2.3"}, {expected.portKey, "7"}};
        if (expected.modeKey != nullptr)
            expectedFile.insert(expected.modeKey, "2");
        QCOMPARE(StoredFile(), expectedFile);
        QCOMPARE(dialog->GetIP(), QString("10.1.2.3"));
        QCOMPARE(dialog->GetPort(), 7);
        if (expected.modeKey != nullptr)
            QCOMPARE(ModeOf(dialog.get()), 2);
    }
    // The next dialog of the kind opens on what was confirmed.
    auto again = Make(Kind(kind));
    QCOMPARE(Child<QLineEdit>(again.get(), "ipLineEdit")->text(), QString("10.1.2.3"));
    QCOMPARE(Child<QLineEdit>(again.get(), "portLineEdit")->text(), QString("7"));
    if (auto* mode = again->findChild<QComboBox*>("modeComboBox"))
        QCOMPARE(mode->currentText(), QString("Ultra"));
}

void TestOpenPanelEndpoint::emptyFieldsStored_data() {
    kinds();
}

void TestOpenPanelEndpoint::emptyFieldsStored() {
    QFETCH(int, kind);
    Expected expected = ExpectedOf(Kind(kind));
    auto dialog = Make(Kind(kind));
    Child<QLineEdit>(dialog.get(), "ipLineEdit")->clear();
    Child<QLineEdit>(dialog.get(), "portLineEdit")->clear();
    Child<QPushButton>(dialog.get(), "confirmButton")->click();
    QCOMPARE(dialog->result(), 1);
    QMap<QString, QString> file = StoredFile();
    QVERIFY(file.contains(expected.ipKey));
    QCOMPARE(file.value(expected.ipKey), QString(""));
    QCOMPARE(file.value(expected.portKey), QString("0"));
    QCOMPARE(dialog->GetIP(), QString(""));
    QCOMPARE(dialog->GetPort(), 0);
}

void TestOpenPanelEndpoint::cancelStoresNothing_data() {
    kinds();
}

void TestOpenPanelEndpoint::cancelStoresNothing() {
    QFETCH(int, kind);
    Expected expected = ExpectedOf(Kind(kind));
    GetSettings()->setValue(expected.ipKey, "192.0.2.1");
    GetSettings()->setValue(expected.portKey, "1234");
    QMap<QString, QString> before = StoredFile();

    auto dialog = Make(Kind(kind));
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    Child<QLineEdit>(dialog.get(), "ipLineEdit")->setText("10.9.9.9");
    Child<QLineEdit>(dialog.get(), "portLineEdit")->setText("4321");
    if (auto* mode = dialog->findChild<QComboBox*>("modeComboBox"))
        mode->setCurrentIndex(1);
    if (auto* detect = dialog->findChild<QPushButton*>("detectButton"))
        detect->click();
    dialog->close();
    QCOMPARE(dialog->result(), 0);
    QCOMPARE(StoredFile(), before);
}

void TestOpenPanelEndpoint::outOfRangeModeSelectsDefault_data() {
    QTest::addColumn<int>("kind");
    QTest::newRow("kcp server") << int(KCP_SERVER);
    QTest::newRow("kcp client") << int(KCP_CLIENT);
}

// A hand-edited store must not leave the mode combo without a selection.
void TestOpenPanelEndpoint::outOfRangeModeSelectsDefault() {
    QFETCH(int, kind);
    GetSettings()->setValue(ExpectedOf(Kind(kind)).modeKey, "7");
    auto dialog = Make(Kind(kind));
    QCOMPARE(Child<QComboBox>(dialog.get(), "modeComboBox")->currentIndex(), 0);
}

void TestOpenPanelEndpoint::detectCyclesMachineInterfaces_data() {
    serverKinds();
}

// "0.0.0.0", then every IPv4 address the kernel reports for an interface that
// is up, then around again; pressing never stores anything.
void TestOpenPanelEndpoint::detectCyclesMachineInterfaces() {
    QFETCH(int, kind);
    QStringList expected{"0.0.0.0"};
    for (const KernelInterface& entry : KernelIPv4Interfaces())
        expected << entry.address;

    auto dialog = Make(Kind(kind));
    auto* ip = Child<QLineEdit>(dialog.get(), "ipLineEdit");
    auto* detect = Child<QPushButton>(dialog.get(), "detectButton");
    QStringList shown;
    for (int i = 0; i < 2 * expected.size(); ++i) {
        detect->click();
        shown << ip->text();
    }
    QCOMPARE(shown, expected + expected);
    QVERIFY(StoredFile().isEmpty());
}

// Inside a namespace of its own whose loopback has 127.0.0.1/8 and
// 192.168.1.20/24, the list is exactly those two after "0.0.0.0".
void TestOpenPanelEndpoint::detectCyclesNamespaceInterfaces() {
    RUN_IN_OWN_NAMESPACE((QStringList{"-rn"}), TwoAddressLoopback());
    for (Kind kind : {TCP_SERVER, KCP_SERVER}) {
        auto dialog = Make(kind);
        auto* ip = Child<QLineEdit>(dialog.get(), "ipLineEdit");
        auto* detect = Child<QPushButton>(dialog.get(), "detectButton");
        QStringList shown;
        for (int i = 0; i < 4; ++i) {
            detect->click();
            shown << ip->text();
        }
        QCOMPARE(shown, QStringList({"0.0.0.0", "127.0.0.1", "192.168.1.20", "0.0.0.0"}));
    }
}

// A namespace whose loopback is down has no interface at all: the cycle is
// "0.0.0.0" alone.
void TestOpenPanelEndpoint::detectWithoutInterfaces() {
    RUN_IN_OWN_NAMESPACE((QStringList{"-rn"}), "true");
    QVERIFY(KernelIPv4Interfaces().isEmpty());
    for (Kind kind : {TCP_SERVER, KCP_SERVER}) {
        auto dialog = Make(kind);
        auto* ip = Child<QLineEdit>(dialog.get(), "ipLineEdit");
        auto* detect = Child<QPushButton>(dialog.get(), "detectButton");
        for (int i = 0; i < 3; ++i) {
            ip->setText("x");
            detect->click();
            QCOMPARE(ip->text(), QString("0.0.0.0"));
        }
    }
}

QTEST_MAIN(TestOpenPanelEndpoint)
#include "tst_openpanel_endpoint.moc"
