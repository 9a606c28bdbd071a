// The real window receiving from a loopback peer: throughput, lines and the
// tick period per chunk size, text and hex, paced and unpaced, beside an idle
// window measured in the same run; and the time of a rebuild at 500 lines.
#include <QElapsedTimer>
#include <atomic>
#include <cstdio>
#include <thread>

#include "BenchEnv.h"
#include "support/Net.h"
#include "support/WindowDriver.h"

using namespace windowdriver;
using benchenv::TickRecorder;

namespace {

const int kSendMs = 2000;
const qint64 kMaxBytes = 256ll * 1024 * 1024;
const int kSizes[] = {20, 1024, 1400, 65536};

// Byte k of the stream is 'a' + k % 26, so order can be checked from any line.
char PatternAt(qint64 offset) {
    return char('a' + offset % 26);
}

// Sends chunks for kSendMs (paced: at bytesPerSecond); returns the total sent.
qint64 SendFor(int fd, int chunk, double bytesPerSecond) {
    QByteArray data(chunk + 26, 0);
    for (int i = 0; i < data.size(); ++i)
        data[i] = PatternAt(i);
    QElapsedTimer clock;
    clock.start();
    qint64 sent = 0;
    while (clock.elapsed() < kSendMs && sent < kMaxBytes) {
        if (bytesPerSecond > 0) {
            const double due = bytesPerSecond * clock.nsecsElapsed() / 1e9;
            if (sent >= due) {
                std::this_thread::sleep_for(std::chrono::microseconds(500));
                continue;
            }
        }
        // Count every byte the socket took, also of a chunk cut short by the deadline.
        int offset = 0;
        while (offset < chunk && clock.elapsed() < kSendMs + 5000) {
            const ssize_t r = send(fd, data.constData() + sent % 26, size_t(chunk - offset), MSG_NOSIGNAL);
            const int n = r > 0 ? int(r) : 0;
            if (n == 0) {
                pollfd p = {fd, POLLOUT, 0};
                poll(&p, 1, 100);
            }
            offset += n;
            sent += n;
        }
        if (offset < chunk)
            break;
    }
    return sent;
}

// The kept lines must continue one another in the pattern (nothing lost or reordered).
bool LinesInOrder(SessionItem* session, bool hex) {
    char expected = 0;
    for (const QByteArray& line : session->GetReceivedLines()) {
        QByteArray payload = line.mid(line.indexOf("] ") + 2);
        if (hex)
            payload = QByteArray::fromHex(payload);
        for (char c : payload) {
            if (expected != 0 && c != expected)
                return false;
            expected = char('a' + (c - 'a' + 1) % 26);
        }
    }
    return true;
}

struct Result {
    double mbPerSecond, linesPerSecond, p50, p99, max, rebuildMs;
    bool complete, ordered;
};

}  // namespace

int main(int argc, char** argv) {
    QTemporaryDir settings;
    benchenv::Prepare(&settings);
    QApplication app(argc, argv);
    Window w;
    TickRecorder ticks(&w.window);
    QTest::qWait(2000);
    printf("idle window: tick p50 %.2f ms  p99 %.2f ms  max %.2f ms\n", ticks.Quantile(0.5),
           ticks.Quantile(0.99), ticks.Quantile(1.0));

    const uint16_t port = testnet::FreePort();
    QTreeWidgetItem* server = w.Create("TCP Server", "127.0.0.1", port);
    int peer = testnet::Connect(port);
    if (!WaitFor([&] { return server->childCount() == 1; })) {
        printf("no connection\n");
        return 1;
    }
    QTreeWidgetItem* child = server->child(0);
    SessionItem* session = SessionItem::FromTreeItem(child);
    qint64 lines = 0;
    QObject::connect(session, &SessionItem::OnReceived, [&] { ++lines; });
    QObject::connect(session, &SessionItem::OnResetReceived, [&] { ++lines; });

    printf("%-6s %-4s %-8s %9s %9s %8s %8s %8s %10s %s\n", "chunk", "mode", "pacing", "MB/s",
           "lines/s", "p50 ms", "p99 ms", "max ms", "rebuild ms", "check");
    for (int size : kSizes) {
        for (bool hex : {false, true}) {
            for (bool paced : {true, false}) {
                w.Click(child);
                w.hex->setChecked(hex);
                session->ClearReceived();
                lines = 0;
                ticks.Reset();
                const double rate = paced ? (hex ? 300e3 : 1e6) : 0;
                std::atomic<qint64> sent(-1);
                QElapsedTimer clock;
                clock.start();
                std::thread sender([&] { sent = SendFor(peer, size, rate); });
                WaitFor([&] { return sent >= 0 && session->GetRecvTotal() >= sent; }, kSendMs + 60000);
                const double seconds = clock.nsecsElapsed() / 1e9;
                sender.join();
                const int received = (int)lines;
                Result r = {session->GetRecvTotal() / 1e6 / seconds, received / seconds, ticks.Quantile(0.5),
                            ticks.Quantile(0.99), ticks.Quantile(1.0), 0, session->GetRecvTotal() == sent,
                            LinesInOrder(session, hex)};
                // A rebuild at 500 kept lines of this size: switch away and back.
                const QByteArray chunk(size, 'q');
                w.Click(server);
                while (session->GetReceivedLines().size() < 500)
                    session->AppendRecvLine(session->FormatRecvLine(chunk));
                QElapsedTimer rebuild;
                rebuild.start();
                w.Click(child);
                r.rebuildMs = rebuild.nsecsElapsed() / 1e6;
                printf("%-6d %-4s %-8s %9.2f %9.0f %8.2f %8.2f %8.2f %10.1f %s\n", size, hex ? "hex" : "text",
                       paced ? (hex ? "300KB/s" : "1MB/s") : "unpaced", r.mbPerSecond, r.linesPerSecond, r.p50,
                       r.p99, r.max, r.rebuildMs,
                       r.complete && r.ordered ? "all bytes, in order" : "LOST OR REORDERED");
                fflush(stdout);
            }
        }
    }
    close(peer);
    return 0;
}
