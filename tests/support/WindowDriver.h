// Drives the real window as a user would: finds its widgets by name, clicks
// tree items and buttons, and answers the modal dialogs it opens. Shared by
// the window tests and the benchmarks.
#ifndef MAROVENT_TESTS_WINDOWDRIVER_H
#define MAROVENT_TESTS_WINDOWDRIVER_H

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include <functional>
#include <memory>

#include "SessionItem.h"
#include "marovent.h"
#include "support/PrivateSettings.h"

namespace windowdriver {

inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 5000) {
    QElapsedTimer watchdog;
    watchdog.start();
    while (!done()) {
        if (watchdog.elapsed() > timeoutMs)
            return false;
        QTest::qWait(5);
    }
    return true;
}

// Runs action on the next modal widget of type T once it is up (bounded retries).
template <typename T>
inline void WhenModal(const std::function<void(T*)>& action) {
    auto* timer = new QTimer;
    auto tries = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, tries, action] {
        if (T* modal = qobject_cast<T*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            action(modal);
        } else if (++*tries > 500) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start(10);
}

struct Window {
    marovent window;
    QTreeWidget* tree;
    QPlainTextEdit* recv;
    QTextEdit* send;
    QCheckBox* hex;
    QComboBox* encoding;
    QWidget* led;
    QPushButton* start;
    QPushButton* closeButton;

    Window() {
        tree = window.findChild<QTreeWidget*>("sessionTypeTreeWidget");
        recv = window.findChild<QPlainTextEdit*>("recvTextEdit");
        send = window.findChild<QTextEdit*>("sendTextEdit");
        hex = window.findChild<QCheckBox*>("hexCheckBox");
        encoding = window.findChild<QComboBox*>("encodingComboBox");
        led = window.findChild<QWidget*>("stateLed");
        start = window.findChild<QPushButton*>("startButton");
        closeButton = window.findChild<QPushButton*>("closeButton");
        window.show();
        if (!QTest::qWaitForWindowExposed(&window))
            qWarning("window not exposed");
    }
    QPushButton* Button(const char* name) { return window.findChild<QPushButton*>(name); }
    void Press(const char* name) { QTest::mouseClick(Button(name), Qt::LeftButton); }
    QTreeWidgetItem* Root(const QString& text) {
        return tree->findItems(text, Qt::MatchExactly).value(0);
    }
    void Click(QTreeWidgetItem* item) {
        tree->scrollToItem(item);
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(item).center());
    }
    QTreeWidgetItem* Current() { return tree->selectedItems().value(0); }
    SessionItem* CurrentSession() { return SessionItem::FromTreeItem(Current()); }

    // Creates a session under a root through its dialog; returns the new item.
    QTreeWidgetItem* Create(const QString& root, const QString& ip, int port, bool confirm = true) {
        Click(Root(root));
        WhenModal<QDialog>([=](QDialog* dialog) {
            dialog->findChild<QLineEdit*>("ipLineEdit")->setText(ip);
            dialog->findChild<QLineEdit*>("portLineEdit")->setText(QString::number(port));
            if (confirm)
                QTest::mouseClick(dialog->findChild<QPushButton*>("confirmButton"), Qt::LeftButton);
            else
                dialog->reject();
        });
        Press("createButton");
        return confirm ? Current() : nullptr;
    }
    void Type(const QString& text) {
        send->clear();
        QTest::keyClicks(send, text);
    }
    QStringList Lines() { return recv->toPlainText().split('\n', Qt::SkipEmptyParts); }
};

}  // namespace windowdriver

#endif
