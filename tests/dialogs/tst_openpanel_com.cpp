// The serial-port dialog and its port list: the stored values, the seven keys
// on confirm, "Unknow" and the rebuild on a left press.
#include <QCheckBox>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include "OpenPanelCOM.h"
#include "QComboBoxPro.h"
#include "dialogs/DialogTestSupport.h"

using namespace dialogtest;

namespace {

QStringList PresentPorts() {
    QStringList names;
    for (const QSerialPortInfo& port : QSerialPortInfo::availablePorts())
        names << port.portName();
    return names;
}

QStringList Items(const QComboBox* combo) {
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

QComboBoxPro* NameCombo(QObject* dialog) {
    return qobject_cast<QComboBoxPro*>(dialog->findChild<QComboBox*>("nameComboBox"));
}

QComboBox* Combo(QObject* dialog, const char* name) {
    return dialog->findChild<QComboBox*>(name);
}

QCheckBox* Check(QObject* dialog, const char* name) {
    return dialog->findChild<QCheckBox*>(name);
}

QLineEdit* Baud(QObject* dialog) {
    return dialog->findChild<QLineEdit*>("buardrateLineEdit");
}

}  // namespace

class TestOpenPanelCOM : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void form();
    void defaultsOnFirstStart();
    void confirmStoresSevenKeys_data();
    void confirmStoresSevenKeys();
    void emptyBaudStoredEmpty();
    void cancelStoresNothing();
    void outOfRangeIndexesSelectDefaults();
    void storedPortGone();
    void leftPressRebuildsBeforePopup();
    void rightPressKeepsList();
    void unknowWithoutPorts();
};

void TestOpenPanelCOM::initTestCase() {
    IsolateSettings();
}

void TestOpenPanelCOM::init() {
    ClearSettings();
}

void TestOpenPanelCOM::form() {
    OpenPanelCOM dialog;
    QCOMPARE(dialog.windowTitle(), QString("OpenPanelCOM"));
    QVERIFY(!(dialog.windowFlags() & Qt::WindowContextHelpButtonHint));
    QVERIFY(NameCombo(&dialog) != nullptr);

    bool fontsOk = false;
    QCOMPARE(LabelTexts(&dialog, &fontsOk), QStringList({"串口:", "波特率:", "校验:", "数据位:", "停止位:"}));
    QVERIFY(fontsOk);
    QCOMPARE(Items(Combo(&dialog, "parityComboBox")), QStringList({"None", "Odd", "Even", "Mark", "Space"}));
    QCOMPARE(Items(Combo(&dialog, "dataBitsComboBox")), QStringList({"5", "6", "7", "8"}));
    QCOMPARE(Items(Combo(&dialog, "stopBitsComboBox")), QStringList({"One", "OnePointFive", "Two"}));
    for (const char* name : {"nameComboBox", "parityComboBox", "dataBitsComboBox", "stopBitsComboBox"})
        QVERIFY2(HasDialogFont(Combo(&dialog, name)), name);
    QCOMPARE(Check(&dialog, "rtsCheckBox")->text(), QString("RTS"));
    QCOMPARE(Check(&dialog, "dtrCheckBox")->text(), QString("DTR"));
    QCOMPARE(dialog.findChild<QPushButton*>("confirmButton")->text(), QString("确定"));

    QLineEdit* baud = Baud(&dialog);
    QVERIFY(HasDialogFont(baud));
    QVERIFY(IsNumberField(baud));
}

void TestOpenPanelCOM::defaultsOnFirstStart() {
    QStringList present = PresentPorts();
    OpenPanelCOM dialog;
    QCOMPARE(Items(NameCombo(&dialog)), QStringList(present.isEmpty() ? QString("Unknow") : present.first()));
    QCOMPARE(Baud(&dialog)->text(), QString("9600"));
    QCOMPARE(Combo(&dialog, "parityComboBox")->currentText(), QString("None"));
    QCOMPARE(Combo(&dialog, "dataBitsComboBox")->currentText(), QString("8"));
    QCOMPARE(Combo(&dialog, "stopBitsComboBox")->currentText(), QString("One"));
    QVERIFY(Check(&dialog, "rtsCheckBox")->isChecked());
    QVERIFY(Check(&dialog, "dtrCheckBox")->isChecked());

    QCOMPARE(dialog.GetPortName(), QString(""));
    QCOMPARE(dialog.GetBaudRate(), 9600);
    QCOMPARE(dialog.GetParity(), 0);
    QCOMPARE(dialog.GetDataBits(), 8);
    QCOMPARE(dialog.GetStopBits(), 0);
    QVERIFY(dialog.GetRTS());
    QVERIFY(dialog.GetDTR());
    QVERIFY(StoredFile().isEmpty());
}

void TestOpenPanelCOM::confirmStoresSevenKeys_data() {
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("dataIndex");
    QTest::addColumn<int>("stopBits");
    QTest::addColumn<bool>("rts");
    QTest::addColumn<bool>("dtr");
    QTest::newRow("space, 5 bits, two") << 4 << 0 << 2 << false << true;
    QTest::newRow("odd, 6 bits, one and a half") << 1 << 1 << 1 << true << false;
    QTest::newRow("even, 7 bits, one") << 2 << 2 << 0 << false << false;
    QTest::newRow("mark, 8 bits, one") << 3 << 3 << 0 << true << true;
}

// The file holds the combo indexes; the window's getter gives 5 to 8 data bits.
void TestOpenPanelCOM::confirmStoresSevenKeys() {
    QFETCH(int, parity);
    QFETCH(int, dataIndex);
    QFETCH(int, stopBits);
    QFETCH(bool, rts);
    QFETCH(bool, dtr);
    {
        OpenPanelCOM dialog;
        Baud(&dialog)->clear();
        QTest::keyClicks(Baud(&dialog), "1152k00");  // the validator drops the letter
        Combo(&dialog, "parityComboBox")->setCurrentIndex(parity);
        Combo(&dialog, "dataBitsComboBox")->setCurrentIndex(dataIndex);
        Combo(&dialog, "stopBitsComboBox")->setCurrentIndex(stopBits);
        Check(&dialog, "rtsCheckBox")->setChecked(rts);
        Check(&dialog, "dtrCheckBox")->setChecked(dtr);
        QString name = NameCombo(&dialog)->currentText();

        QPushButton* confirm = dialog.findChild<QPushButton*>("confirmButton");
        QTimer::singleShot(0, confirm, &QPushButton::click);
        QTimer::singleShot(10000, &dialog, &QDialog::reject);  // watchdog
        QCOMPARE(dialog.exec(), 1);

        QMap<QString, QString> expected{
            {"COM_NAME", name}, {"COM_BUARDRATE", "115200"}, {"COM_PARITY", QString::number(parity)},
            {"COM_DATABITS", QString::number(dataIndex)}, {"COM_STOPBITS", QString::number(stopBits)},
            {"COM_RTS", rts ? "1" : "0"}, {"COM_DTR", dtr ? "1" : "0"}};
        QCOMPARE(StoredFile(), expected);
        QCOMPARE(dialog.GetPortName(), name);
        QCOMPARE(dialog.GetBaudRate(), 115200);
        QCOMPARE(dialog.GetParity(), parity);
        QCOMPARE(dialog.GetDataBits(), 5 + dataIndex);
        QCOMPARE(dialog.GetStopBits(), stopBits);
        QCOMPARE(dialog.GetRTS(), rts);
        QCOMPARE(dialog.GetDTR(), dtr);
    }
    OpenPanelCOM again;
    QCOMPARE(Baud(&again)->text(), QString("115200"));
    QCOMPARE(Combo(&again, "parityComboBox")->currentIndex(), parity);
    QCOMPARE(Combo(&again, "dataBitsComboBox")->currentText(), QString::number(5 + dataIndex));
    QCOMPARE(Combo(&again, "stopBitsComboBox")->currentIndex(), stopBits);
    QCOMPARE(Check(&again, "rtsCheckBox")->isChecked(), rts);
    QCOMPARE(Check(&again, "dtrCheckBox")->isChecked(), dtr);
}

void TestOpenPanelCOM::emptyBaudStoredEmpty() {
    OpenPanelCOM dialog;
    Baud(&dialog)->clear();
    dialog.findChild<QPushButton*>("confirmButton")->click();
    QMap<QString, QString> file = StoredFile();
    QVERIFY(file.contains("COM_BUARDRATE"));
    QCOMPARE(file.value("COM_BUARDRATE"), QString(""));
    QCOMPARE(dialog.GetBaudRate(), 0);
}

void TestOpenPanelCOM::cancelStoresNothing() {
    GetSettings()->setValue("COM_BUARDRATE", "57600");
    GetSettings()->setValue("COM_RTS", "0");
    QMap<QString, QString> before = StoredFile();
    OpenPanelCOM dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    Baud(&dialog)->setText("300");
    Combo(&dialog, "parityComboBox")->setCurrentIndex(3);
    Check(&dialog, "rtsCheckBox")->setChecked(true);
    dialog.close();
    QCOMPARE(dialog.result(), 0);
    QCOMPARE(StoredFile(), before);
}

// A hand-edited store must neither leave a combo without a selection nor hand
// the serial port a data-bit count outside 5 to 8.
void TestOpenPanelCOM::outOfRangeIndexesSelectDefaults() {
    GetSettings()->setValue("COM_PARITY", "9");
    GetSettings()->setValue("COM_DATABITS", "8");
    GetSettings()->setValue("COM_STOPBITS", "-1");
    OpenPanelCOM dialog;
    QCOMPARE(Combo(&dialog, "parityComboBox")->currentText(), QString("None"));
    QCOMPARE(Combo(&dialog, "dataBitsComboBox")->currentText(), QString("8"));
    QCOMPARE(Combo(&dialog, "stopBitsComboBox")->currentText(), QString("One"));
    QCOMPARE(dialog.GetParity(), 0);
    QCOMPARE(dialog.GetDataBits(), 8);
    QCOMPARE(dialog.GetStopBits(), 0);
}

void TestOpenPanelCOM::storedPortGone() {
    GetSettings()->setValue("COM_NAME", "ttyGONE42");
    QStringList present = PresentPorts();
    OpenPanelCOM dialog;
    QCOMPARE(Items(NameCombo(&dialog)), QStringList(present.isEmpty() ? QString("Unknow") : present.first()));
}

// The list the popup shows is the one rebuilt by the press: the signal comes
// before the combo box opens its popup.
void TestOpenPanelCOM::leftPressRebuildsBeforePopup() {
    OpenPanelCOM dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QComboBoxPro* combo = NameCombo(&dialog);
    combo->addItem("stale");
    bool popupOpenAtSignal = true;
    connect(combo, &QComboBoxPro::clicked, this, [&] {
        popupOpenAtSignal = combo->view()->isVisible();
    });
    QSignalSpy spy(combo, &QComboBoxPro::clicked);
    QTest::mousePress(combo, Qt::LeftButton);
    QCOMPARE(spy.count(), 1);
    QVERIFY(!popupOpenAtSignal);
    QCOMPARE(Items(combo), PresentPorts());
    QCOMPARE(combo->currentIndex(), combo->count() > 0 ? 0 : -1);
    combo->hidePopup();
    QTest::mouseRelease(combo, Qt::LeftButton);
}

void TestOpenPanelCOM::rightPressKeepsList() {
    OpenPanelCOM dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QComboBoxPro* combo = NameCombo(&dialog);
    combo->addItem("stale");
    QStringList before = Items(combo);
    QSignalSpy spy(combo, &QComboBoxPro::clicked);
    QTest::mouseClick(combo, Qt::RightButton);
    QCOMPARE(spy.count(), 0);
    QCOMPARE(Items(combo), before);
}

// In a mount namespace whose tty class directory is empty no port is present:
// the list shows "Unknow" until pressed, is empty afterwards, and an empty
// name is stored.
void TestOpenPanelCOM::unknowWithoutPorts() {
    RUN_IN_OWN_NAMESPACE((QStringList{"-rm"}), "mount -t tmpfs none /sys/class/tty");
    QVERIFY(PresentPorts().isEmpty());
    GetSettings()->setValue("COM_NAME", "ttyUSB0");
    OpenPanelCOM dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QComboBoxPro* combo = NameCombo(&dialog);
    QCOMPARE(Items(combo), QStringList({"Unknow"}));
    QTest::mouseClick(combo, Qt::LeftButton);
    combo->hidePopup();
    QCOMPARE(combo->count(), 0);
    dialog.findChild<QPushButton*>("confirmButton")->click();
    QCOMPARE(StoredFile().value("COM_NAME", "missing"), QString(""));
}

QTEST_MAIN(TestOpenPanelCOM)
#include "tst_openpanel_com.moc"
