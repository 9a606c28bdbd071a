// Renders the README picture: the window on Qt's offscreen platform with a TCP
// server on loopback, one accepted connection shown and a short exchange, the
// send box holding a Modbus request with its CRC appended by F1. Settings live
// in a private folder (PrivateSettings.h, through the window driver).
// Usage: screenshot OUTPUT.png (run by scripts/screenshot.sh)
#include "support/WindowDriver.h"

using namespace windowdriver;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        fprintf(stderr, "usage: screenshot OUTPUT.png\n");
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
    close(peer);
    if (!ok || !w.window.grab().save(argv[1])) {
        fprintf(stderr, "screenshot: the window did not reach the pictured state or %s could not be written\n", argv[1]);
        return 1;
    }
    return 0;
}
