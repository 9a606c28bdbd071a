// Drives the real window as a user would, answering the modal dialogs it opens.
// Shared by the window and dialog tests, the benchmarks and the screenshot program.
#ifndef MAROVENT_TESTS_WINDOWDRIVER_H
#define MAROVENT_TESTS_WINDOWDRIVER_H

#include <QtTest>
#include <QtWidgets>

#include "SessionItem.h"
#include "marovent.h"
#include "support/Net.h"
#include "support/PrivateSettings.h"

namespace windowdriver {

const QString kLedOn = "background-color: #00FF00";

// The bounded wait of the window side: the window keeps ticking meanwhile.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 5000) {
    return testnet::WaitUntil([] { QTest::qWait(5); }, done, timeoutMs);
}

// Runs action on the next modal widget of type T once it is up (bounded retries).
template <typename T>
inline void WhenModal(const std::function<void(T*)>& action) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, action, tries = 0]() mutable {
        T* modal = qobject_cast<T*>(QApplication::activeModalWidget());
        if (modal == nullptr && ++tries < 500)
            return;
        timer->stop();
        timer->deleteLater();
        if (modal != nullptr)
            action(modal);
    });
    timer->start(10);
}

// Answers the next message box with Close and keeps its text in *shown.
inline void CatchMessage(QString* shown) {
    WhenModal<QMessageBox>([shown](QMessageBox* box) {
        *shown = box->text();
        box->button(QMessageBox::Close)->click();
    });
}

// Types into a line edit, picks (or adds) a combo box text, checks by "1", clicks.
inline void Fill(QWidget* dialog, const QString& name, const QString& value) {
    QWidget* widget = dialog->findChild<QWidget*>(name);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        edit->clear();
        QTest::keyClicks(edit, value);
    } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
        if (combo->findText(value) < 0)
            combo->addItem(value);
        combo->setCurrentIndex(combo->findText(value));
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        button->isCheckable() ? button->setChecked(value == "1") : button->click();
    }
}

struct Window {
    marovent window;
    QTreeWidget* tree = window.findChild<QTreeWidget*>("sessionTypeTreeWidget");
    QPlainTextEdit* recv = window.findChild<QPlainTextEdit*>("recvTextEdit");
    QTextEdit* send = window.findChild<QTextEdit*>("sendTextEdit");
    QCheckBox* hex = window.findChild<QCheckBox*>("hexCheckBox");
    QPushButton* start = window.findChild<QPushButton*>("startButton");
    QPushButton* closeButton = window.findChild<QPushButton*>("closeButton");

    Window() { window.show(); (void)QTest::qWaitForWindowExposed(&window); }
    void Press(const char* name) { QTest::mouseClick(window.findChild<QPushButton*>(name), Qt::LeftButton); }
    QString Label(const char* name) { return window.findChild<QLabel*>(name)->text(); }
    QString Led() { return window.findChild<QWidget*>("stateLed")->styleSheet(); }
    QTreeWidgetItem* Root(const QString& text) { return tree->findItems(text, Qt::MatchExactly).value(0); }
    void Click(QTreeWidgetItem* item) {
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(item).center());
    }
    QTreeWidgetItem* Current() { return tree->selectedItems().value(0); }

    // Creates a session through its dialog, filled by name, value pairs (confirm null: cancel).
    QTreeWidgetItem* Create(const QString& root, const QStringList& fields, const char* confirm = "confirmButton") {
        Click(Root(root));
        WhenModal<QDialog>([=](QDialog* dialog) {
            for (int i = 0; i + 1 < fields.size(); i += 2)
                Fill(dialog, fields[i], fields[i + 1]);
            confirm ? QTest::mouseClick(dialog->findChild<QPushButton*>(confirm), Qt::LeftButton) : dialog->reject();
        });
        Press("createButton");
        return Current();
    }
    QTreeWidgetItem* Create(const QString& root, const QString& ip, int port) {
        return Create(root, {"ipLineEdit", ip, "portLineEdit", QString::number(port)});
    }
    void Type(const QString& text) { send->setPlainText(text); }
    void Send(const QString& text) { Type(text); Press("sendButton"); }
    QStringList Lines() { return recv->toPlainText().split('\n', Qt::SkipEmptyParts); }
    QString LastLine() { return Lines().value(Lines().size() - 1); }
};

}  // namespace windowdriver

#endif
