// The window with a serial-port session on a real pseudo-terminal, offscreen:
// created through its dialog, shown in the state panel, read and written.
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QtTest>

#include "SessionItemCOM.h"
#include "serial/pty_pair.h"
#include "support/WindowDriver.h"

using namespace windowdriver;

namespace {

// Creates a serial session through its dialog with the given port path.
QTreeWidgetItem* CreateCOM(Window& w, const QString& path, const QString& baud) {
    w.Click(w.Root("SerialPort"));
    WhenModal<QDialog>([=](QDialog* dialog) {
        auto* name = dialog->findChild<QComboBox*>("nameComboBox");
        name->clear();
        name->addItem(path);
        dialog->findChild<QLineEdit*>("buardrateLineEdit")->setText(baud);
        QTest::mouseClick(dialog->findChild<QPushButton*>("confirmButton"), Qt::LeftButton);
    });
    w.Press("createButton");
    return w.Current();
}

QString Label(Window& w, const char* name) {
    return w.window.findChild<QLabel*>(name)->text();
}

}  // namespace

class WindowSerialTest : public QObject {
    Q_OBJECT
private slots:
    void openReadWriteAndClose();
    void missingPortStaysClosedWithMessage();
};

void WindowSerialTest::openReadWriteAndClose() {
    PtyPair pty;
    QVERIFY(pty.Ok());
    const QString path = QString::fromStdString(pty.Path());
    Window w;
    QTreeWidgetItem* item = CreateCOM(w, path, "19200");
    QCOMPARE(item->text(0), path + ":19200");
    QCOMPARE(w.start->text(), QString("打开"));
    QCOMPARE(w.closeButton->text(), QString("关闭"));
    QVERIFY(!w.start->isEnabled());
    QVERIFY(w.closeButton->isEnabled());
    QCOMPARE(w.led->styleSheet(), QString("background-color: #00FF00"));
    QCOMPARE(item->icon(0).cacheKey(), IconSerialRun().cacheKey());
    QCOMPARE(Label(w, "L11label"), QString("串口："));
    QCOMPARE(Label(w, "L12label"), path);
    QCOMPARE(Label(w, "L13label"), QString("波特率："));
    QCOMPARE(Label(w, "L14label"), QString("19200"));
    QVERIFY(!w.window.findChild<QLabel*>("L23label")->isVisible());

    QVERIFY(pty.WriteFar("abc"));
    QVERIFY(WaitFor([&] { return !w.Lines().isEmpty() && w.Lines().last().endsWith("<=] abc"); }));
    w.Type("hi");
    w.Press("sendButton");
    QCOMPARE(QString::fromStdString(pty.ReadFar(2)), QString("hi"));
    QVERIFY(w.Lines().last().endsWith("=>] hi"));

    w.Press("closeButton");
    QVERIFY(w.start->isEnabled());
    QCOMPARE(item->icon(0).cacheKey(), IconSerialStop().cacheKey());
    w.Press("sendButton");
    QCOMPARE(w.Lines().last(), QString("Error : com is unavailable"));
    w.Press("startButton");
    QCOMPARE(w.led->styleSheet(), QString("background-color: #00FF00"));
}

void WindowSerialTest::missingPortStaysClosedWithMessage() {
    Window w;
    QString shown;
    WhenModal<QMessageBox>([&](QMessageBox* box) {
        shown = box->text();
        box->button(QMessageBox::Close)->click();
    });
    const QString path = "/dev/marovent-no-such-port";
    QTreeWidgetItem* item = CreateCOM(w, path, "9600");
    QVERIFY(WaitFor([&] { return !shown.isEmpty(); }));
    QCOMPARE(shown, path + " does not exist or is occupied.");
    QCOMPARE(item->parent(), w.Root("SerialPort"));
    QCOMPARE(item->icon(0).cacheKey(), IconSerialStop().cacheKey());
    QVERIFY(w.start->isEnabled());
    QCOMPARE(w.led->styleSheet(), QString("background-color: #CDCDCD"));
}

QTEST_MAIN(WindowSerialTest)
#include "tst_window_serial.moc"
