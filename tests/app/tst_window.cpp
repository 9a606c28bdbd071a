// The main window on the offscreen platform: category roots, start state,
// encoding persistence, the keyboard filter and the statistics line.
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include "Encoding.h"
#include "SessionItem.h"
#include "Settings.h"
#include "ByteText.h"
#include "marovent.h"

namespace {

// Set in a re-launched copy of this program: build the window from the given
// command line and print its roots, since the window reads the arguments once.
const char kPrintRootsEnv[] = "MAROVENT_TST_PRINT_ROOTS";

int PrintRoots(int argc, char** argv) {
    QApplication app(argc, argv);
    marovent window;
    auto* tree = window.findChild<QTreeWidget*>("sessionTypeTreeWidget");
    if (tree == nullptr)
        return 2;
    QTextStream out(stdout);
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        QTreeWidgetItem* root = tree->topLevelItem(i);
        out << root->text(0) << (root->isExpanded() ? "" : " (collapsed)") << "\n";
    }
    return 0;
}

class StatsSession : public SessionItem {
public:
    StatsSession() : SessionItem("Stats") {}
    int GetType() override { return 0; }
};

template <typename T>
T* Child(QWidget& window, const char* name) {
    T* child = window.findChild<T*>(name);
    if (child == nullptr)
        qFatal("no child %s", name);
    return child;
}

bool Filtered(QObject& window, QObject* watched, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    return window.eventFilter(watched, &press);
}

QString SettingsFile() {
    return qEnvironmentVariable("XDG_CONFIG_HOME") + "/kestrum/polvane.conf";
}

}  // namespace

class TestWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // The store must be the private one the test run set up, never the user's.
        const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
        QVERIFY(!xdg.isEmpty());
        QVERIFY(QDir().mkpath(xdg));
        QCOMPARE(GetSettings()->fileName(), SettingsFile());
    }

    void rootsFollowTheCommandLine_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("roots");
        const QStringList four = {"TCP Server", "TCP Client", "UDP", "SerialPort"};
        const QStringList six = four + QStringList{"KCP Server", "KCP Client"};
        QTest::newRow("none") << QStringList() << four;
        QTest::newRow("-kcp") << QStringList{"-kcp"} << six;
        QTest::newRow("-kcp among others") << QStringList{"x", "-kcp", "y"} << six;
        QTest::newRow("-KCP") << QStringList{"-KCP"} << four;
        QTest::newRow("-kcpx") << QStringList{"-kcpx"} << four;
    }

    void rootsFollowTheCommandLine() {
        QFETCH(QStringList, args);
        QFETCH(QStringList, roots);
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(kPrintRootsEnv, "1");
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), args);
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QVERIFY2(child.exitCode() == 0, child.readAllStandardError().constData());
        const QString out = QString::fromUtf8(child.readAllStandardOutput());
        QCOMPARE(out.split('\n', Qt::SkipEmptyParts), roots);
    }

    void startState() {
        marovent w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(w.windowTitle(), QString("marovent"));
        QCOMPARE(w.minimumSize(), QSize(1000, 500));
        QVERIFY(!w.windowIcon().pixmap(16, 16).isNull());
        QVERIFY(!Child<QPushButton>(w, "createButton")->isEnabled());
        QVERIFY(!Child<QPushButton>(w, "deleteButton")->isEnabled());
        for (const char* name : {"stateGroup", "recvGroup", "sendGroup", "bottomGroup", "spacer"})
            QVERIFY2(!Child<QWidget>(w, name)->isVisible(), name);
        QVERIFY(Child<QWidget>(w, "sessionTypeTreeWidget")->isVisible());
        QCOMPARE(Child<QComboBox>(w, "encodingComboBox")->count(), 4);

        auto* tree = Child<QTreeWidget>(w, "sessionTypeTreeWidget");
        QCOMPARE(tree->topLevelItemCount(), 4);
        QVERIFY(tree->isHeaderHidden());
        // Roots carry no session.
        QVERIFY(tree->topLevelItem(0)->data(0, Qt::UserRole).value<void*>() == nullptr);

        QTimer* tick = nullptr;
        for (QTimer* t : w.findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly))
            if (t->interval() == 10)
                tick = t;
        QVERIFY(tick != nullptr);
        QVERIFY(tick->isActive());
    }

    void encodingRestoredAtStart_data() {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<int>("index");
        QTest::newRow("missing") << QVariant() << 0;
        QTest::newRow("UTF16") << QVariant("3") << 3;
        QTest::newRow("ASCII") << QVariant("1") << 1;
        QTest::newRow("4 is out of range") << QVariant("4") << 0;
        QTest::newRow("large") << QVariant("99") << 0;
        QTest::newRow("not a number") << QVariant("utf8") << 0;
        QTest::newRow("negative") << QVariant("-1") << -1;
        QTest::newRow("very negative") << QVariant("-7") << -1;
    }

    void encodingRestoredAtStart() {
        QFETCH(QVariant, stored);
        QFETCH(int, index);
        if (stored.isValid())
            GetSettings()->setValue("ENCODING", stored);
        else
            GetSettings()->remove("ENCODING");
        CurrentEncoding = 42;
        marovent w;
        QCOMPARE(Child<QComboBox>(w, "encodingComboBox")->currentIndex(), index);
        QCOMPARE(CurrentEncoding, index);
        w.close();
        QCOMPARE(GetSettings()->value("ENCODING").toString(), QString::number(index));
    }

    void encodingSavedOnClose() {
        GetSettings()->setValue("ENCODING", "0");
        {
            marovent w;
            w.show();
            auto* combo = Child<QComboBox>(w, "encodingComboBox");
            combo->setCurrentIndex(3);
            QCOMPARE(CurrentEncoding, 3);
            QVERIFY(w.close());
        }
        GetSettings()->sync();
        QSettings file(SettingsFile(), QSettings::IniFormat);
        QCOMPARE(file.value("ENCODING").toString(), QString("3"));

        CurrentEncoding = 0;
        marovent again;
        QCOMPARE(Child<QComboBox>(again, "encodingComboBox")->currentIndex(), 3);
        QCOMPARE(CurrentEncoding, 3);
    }

    void treeSwallowsKeys() {
        marovent w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto* tree = Child<QTreeWidget>(w, "sessionTypeTreeWidget");
        tree->setFocus();
        tree->setCurrentItem(tree->topLevelItem(0));
        for (int key : {int(Qt::Key_Down), int(Qt::Key_End), int(Qt::Key_U), int(Qt::Key_Left)})
            QTest::keyClick(tree, Qt::Key(key));
        QCOMPARE(tree->currentItem(), tree->topLevelItem(0));
        QVERIFY(tree->topLevelItem(0)->isExpanded());
        QVERIFY(Filtered(w, tree, Qt::Key_A));
        QVERIFY(Filtered(w, tree, Qt::Key_Return));
        // Anything that is not a key press passes on.
        QFocusEvent focus(QEvent::FocusIn);
        QVERIFY(!static_cast<QObject&>(w).eventFilter(tree, &focus));
    }

    void sendBoxFilterTakesRecallAndFunctionKeys() {
        marovent w;
        auto* edit = Child<QTextEdit>(w, "sendTextEdit");
        for (int key : {Qt::Key_Up, Qt::Key_Down, Qt::Key_F1, Qt::Key_F2, Qt::Key_F3, Qt::Key_F4})
            QVERIFY2(Filtered(w, edit, key), qPrintable(QKeySequence(key).toString()));
        for (int key : {Qt::Key_A, Qt::Key_Left, Qt::Key_Return, Qt::Key_F5})
            QVERIFY2(!Filtered(w, edit, key), qPrintable(QKeySequence(key).toString()));
        // The filter is only on the send box and the tree.
        QVERIFY(!Filtered(w, Child<QPlainTextEdit>(w, "recvTextEdit"), Qt::Key_Up));
    }

    void upAndDownNeverMoveTheCursor() {
        marovent w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto* edit = Child<QTextEdit>(w, "sendTextEdit");
        edit->show();
        edit->setFocus();
        edit->setPlainText("first\nsecond\nthird");
        QTextCursor cursor = edit->textCursor();
        cursor.setPosition(8);  // inside "second"
        edit->setTextCursor(cursor);
        QTest::keyClick(edit, Qt::Key_Up);
        QCOMPARE(edit->textCursor().position(), 8);
        QTest::keyClick(edit, Qt::Key_Down);
        QCOMPARE(edit->textCursor().position(), 8);
        QTest::keyClick(edit, Qt::Key_F2);
        QCOMPARE(edit->toPlainText(), QString("first\nsecond\nthird"));
        // Ordinary keys still reach the edit.
        QTest::keyClick(edit, Qt::Key_X);
        QCOMPARE(edit->toPlainText(), QString("first\nsexcond\nthird"));
        QTest::keyClick(edit, Qt::Key_Left);
        QCOMPARE(edit->textCursor().position(), 8);
    }

    void statisticsUnits_data() {
        QTest::addColumn<qint64>("value");
        QTest::addColumn<QString>("total");
        QTest::addColumn<QString>("rate");
        QTest::newRow("0") << qint64(0) << "0b" << "0b/s";
        QTest::newRow("999") << qint64(999) << "999b" << "999b/s";
        QTest::newRow("1000") << qint64(1000) << "1000b" << "1000b/s";
        QTest::newRow("1001") << qint64(1001) << "1.00Kb" << "1.00Kb/s";
        QTest::newRow("1500") << qint64(1500) << "1.50Kb" << "1.50Kb/s";
        QTest::newRow("1000000") << qint64(1000000) << "1000.00Kb" << "1000.00Kb/s";
        QTest::newRow("1000001") << qint64(1000001) << "1.00Mb" << "1.00Mb/s";
        QTest::newRow("2500000") << qint64(2500000) << "2.50Mb" << "2.50Mb/s";
        QTest::newRow("2147483648") << qint64(2147483648LL) << "2147.48Mb" << "2147.48Mb/s";
        QTest::newRow("5e12") << qint64(5000000000000LL) << "5000000.00Mb" << "5000000.00Mb/s";
    }

    void statisticsUnits() {
        QFETCH(qint64, value);
        QFETCH(QString, total);
        QFETCH(QString, rate);
        QCOMPARE(FormatBytes(value, false), total);
        QCOMPARE(FormatBytes(value, true), rate);
    }

    void statisticsLineFollowsTheSelection() {
        marovent w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto* tree = Child<QTreeWidget>(w, "sessionTypeTreeWidget");
        auto* info = Child<QLabel>(w, "infoLabel");

        StatsSession session;
        session.AddRecvCount(1000);
        QTreeWidgetItem* root = tree->topLevelItem(1);
        auto* item = new QTreeWidgetItem(root, QStringList("probe"));
        item->setData(0, Qt::UserRole, QVariant::fromValue<void*>(&session));
        session.SetTreeItem(item);
        session.SetParentItem(root);
        root->setExpanded(true);

        info->setText("untouched");
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, Qt::NoModifier,
                          tree->visualItemRect(root).center());
        QCOMPARE(info->text(), QString("untouched"));
        QVERIFY(!info->isVisible());
        QVERIFY(Child<QPushButton>(w, "createButton")->isEnabled());
        QVERIFY(!Child<QPushButton>(w, "deleteButton")->isEnabled());

        QTest::mouseClick(tree->viewport(), Qt::LeftButton, Qt::NoModifier,
                          tree->visualItemRect(item).center());
        QCOMPARE(info->text(), QString::fromUtf8("收：1000b\t速率：0b/s"));
        QVERIFY(!Child<QPushButton>(w, "createButton")->isEnabled());
        QVERIFY(Child<QPushButton>(w, "deleteButton")->isEnabled());

        // The tick refreshes the line about once a second.
        session.AddRecvCount(1);
        QTRY_COMPARE_WITH_TIMEOUT(info->text(), QString::fromUtf8("收：1.00Kb\t速率：0b/s"), 5000);

        // Back on a root, the line keeps the session's last figures.
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, Qt::NoModifier,
                          tree->visualItemRect(root).center());
        session.AddRecvCount(5000000);
        QTest::qWait(1200);
        QCOMPARE(info->text(), QString::fromUtf8("收：1.00Kb\t速率：0b/s"));
        delete item;
    }
};

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsSet(kPrintRootsEnv))
        return PrintRoots(argc, argv);
    QApplication app(argc, argv);
    TestWindow test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_window.moc"
