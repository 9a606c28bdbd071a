// The real window receiving text from a loopback peer at 1 MB/s, paced, with
// the session shown (its lines going into the view): the tick period beside
// an idle window's, measured in the same run, for a few chunk sizes.
//
//   build/bench/window_recv_bench [seconds per measurement, default 2]
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <atomic>
#include <cstdio>
#include <thread>

#include "BenchEnv.h"
#include "support/Net.h"
#include "support/WindowDriver.h"

using namespace windowdriver;
using benchenv::TickRecorder;

namespace {

const double kBytesPerSecond = 1e6;
const int kSizes[] = {20, 1024, 1400, 65536};

// Sends text chunks paced at kBytesPerSecond for the given time; returns the
// bytes the socket took (a chunk cut short by the deadline counts in part).
qint64 SendFor(int fd, int chunk, double seconds) {
    QByteArray data(chunk, 0);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char('a' + i % 26);
    QElapsedTimer clock;
    clock.start();
    const qint64 limitNs = qint64(seconds * 1e9);
    qint64 sent = 0;
    while (clock.nsecsElapsed() < limitNs) {
        if (sent >= kBytesPerSecond * clock.nsecsElapsed() / 1e9) {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            continue;
        }
        int offset = 0;
        while (offset < chunk && clock.nsecsElapsed() < limitNs + qint64(5e9)) {
            const ssize_t r = send(fd, data.constData() + offset, size_t(chunk - offset), MSG_NOSIGNAL);
            if (r <= 0) {
                pollfd p = {fd, POLLOUT, 0};
                poll(&p, 1, 100);
                continue;
            }
            offset += int(r);
            sent += r;
        }
        if (offset < chunk)
            break;
    }
    return sent;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = benchenv::SecondsArg(argc, argv, 2);
    QTemporaryDir settings;
    benchenv::Prepare(&settings);
    QApplication app(argc, argv);
    Window w;
    TickRecorder ticks(&w.window);
    benchenv::RunFor(int(seconds * 1000));
    const double idleP99 = ticks.Quantile(0.99);
    printf("%.1f s per measurement, text paced at 1 MB/s, session shown\n", seconds);
    printf("idle window: tick p50 %.2f ms  p99 %.2f ms  max %.2f ms\n", ticks.Quantile(0.5), idleP99,
           ticks.Quantile(1.0));

    const uint16_t port = testnet::FreePort();
    QTreeWidgetItem* server = w.Create("TCP Server", "127.0.0.1", port);
    const int peer = testnet::Connect(port);
    if (!benchenv::RunUntil([&] { return server->childCount() == 1; }, 5000)) {
        printf("no connection\n");
        return 1;
    }
    QTreeWidgetItem* child = server->child(0);
    SessionItem* session = SessionItem::FromTreeItem(child);
    qint64 lines = 0;
    // A line that makes the session trim its kept lines is announced as a reset.
    QObject::connect(session, &SessionItem::OnReceived, [&] { ++lines; });
    QObject::connect(session, &SessionItem::OnResetReceived, [&] { ++lines; });
    w.Click(child);
    w.hex->setChecked(false);

    printf("%-6s %8s %9s %8s %8s %8s %10s %s\n", "chunk", "MB/s", "lines/s", "p50 ms", "p99 ms", "max ms",
           "p99 / idle", "check");
    bool goal = true;
    for (int size : kSizes) {
        const qint64 before = session->GetRecvTotal();
        lines = 0;
        ticks.Reset();
        std::atomic<qint64> sent(-1);
        QElapsedTimer clock;
        clock.start();
        std::thread sender([&] { sent = SendFor(peer, size, seconds); });
        benchenv::RunUntil([&] { return sent >= 0 && session->GetRecvTotal() - before >= sent; },
                           int(seconds * 1000) + 10000);
        const double elapsed = clock.nsecsElapsed() / 1e9;
        sender.join();
        const qint64 received = session->GetRecvTotal() - before;
        const double p99 = ticks.Quantile(0.99);
        goal = goal && p99 <= 20;
        printf("%-6d %8.2f %9.0f %8.2f %8.2f %8.2f %10.2f %s\n", size, received / 1e6 / elapsed, lines / elapsed,
               ticks.Quantile(0.5), p99, ticks.Quantile(1.0), idleP99 > 0 ? p99 / idleP99 : 0.0,
               received == sent ? "every byte counted" : "BYTES MISSING");
        fflush(stdout);
    }
    printf("goal: tick p99 <= 20 ms at 1 MB/s shown, every chunk size: %s\n", goal ? "yes" : "NO");
    close(peer);
    return 0;
}
