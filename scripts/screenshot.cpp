// Renders the README pictures on Qt's offscreen platform. The first: a TCP
// server on loopback, one accepted connection shown and a short exchange, the
// send box holding a Modbus request with its CRC appended by F1. The second,
// the tools: the same connection capturing to a file (bold), times with
// milliseconds, a repeated send running, and its session menu open. Settings
// and the capture live in private folders.
// Usage: screenshot OUTPUT.png TOOLS.png (run by scripts/screenshot.sh)
#include <QMenu>
#include <QPainter>
#include <QSpinBox>

#include "SessionItem.h"
#include "support/WindowDriver.h"

using namespace windowdriver;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 3) {
        fprintf(stderr, "usage: screenshot OUTPUT.png TOOLS.png\n");
        return 2;
    }
    Window w;
    w.window.resize(1000, 500);
    const uint16_t port = testnet::FreePort();
    w.Create("TCP Client", "127.0.0.1", port);
    QTreeWidgetItem* server = w.Create("TCP Server", "127.0.0.1", port);
    const int peer = testnet::Connect(port);
    bool ok = WaitFor([&] { return server->childCount() == 1; }) && testnet::SendAll(peer, "你好, marovent") &&
              WaitFor([&] { return w.Lines().size() == 1; });
    w.Send("hello peer");
    ok = ok && testnet::SendAll(peer, "status ok") && WaitFor([&] { return w.Lines().size() == 3; });
    w.hex->setChecked(true);
    w.Type("01 03 00 00 00 01");
    QTest::keyClick(w.send, Qt::Key_F1);
    // The statistics line is refreshed about once a second.
    ok = ok && WaitFor([&] { return w.window.findChild<QLabel*>("infoLabel")->text().startsWith("收：25b"); });
    ok = ok && w.window.grab().save(argv[1]);

    // The tools: capture, milliseconds, a repeat, and the session menu.
    QTemporaryDir captures;
    QTreeWidgetItem* child = server->child(0);
    ok = ok && SessionItem::FromTreeItem(child)->StartCapture(captures.filePath("capture.txt"), false);
    w.window.findChild<QCheckBox*>("msCheckBox")->setChecked(true);
    w.hex->setChecked(false);
    w.Type("ping");
    w.window.findChild<QSpinBox*>("periodSpinBox")->setValue(500);
    w.window.findChild<QSpinBox*>("countSpinBox")->setValue(100);
    w.Press("repeatButton");
    ok = ok && WaitFor([&] { return w.Lines().size() >= 5; }, 5000);
    QPixmap picture = w.window.grab();
    QTreeWidget* tree = w.tree;
    const QPoint at = tree->visualItemRect(child).center();
    QTimer::singleShot(100, [&] {
        if (QWidget* menu = QApplication::activePopupWidget()) {
            QPainter painter(&picture);
            painter.drawPixmap(tree->viewport()->mapTo(&w.window, at), menu->grab());
            menu->close();
        }
    });
    emit tree->customContextMenuRequested(at);
    close(peer);
    if (!ok || !picture.save(argv[2])) {
        fprintf(stderr, "screenshot: the window did not reach the pictured state or a picture could not be written\n");
        return 1;
    }
    return 0;
}
