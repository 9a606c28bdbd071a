// A text capture running on a session shown in the real window, beside the
// same run without one: a UDP session receiving 1400-byte datagrams at
// 20,000/s, and an accepted TCP connection receiving a writer paced at
// 50 MB/s, each for a bounded time (together well under 1 GB written).
//
// For each: what was sent against the session's count (nothing lost in the
// window), the file checked against it (one line per chunk, every byte of
// payload there), and the tick's p99 and max with the capture as a ratio to
// the run without.
//
//   build/bench/capture_bench [seconds per measurement, default 5]
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTreeWidgetItem>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <thread>

#include "BenchEnv.h"
#include "SessionItemUDPClient.h"
#include "support/WindowDriver.h"

using benchenv::TickRecorder;

namespace {

const int kUdpRate = 20000;
const int kTcpBytesPerSecond = 50 * 1000 * 1000;
const int kTcpChunk = 64 * 1024;
// "[hh:mm:ss.zzz <=] " and the newline: what a received line adds to its payload.
const int kLineOverhead = 19;

// Sends to 127.0.0.1:port, paced so that after t seconds rate * t units went
// (a unit: one datagram, or one byte in chunks of up to kTcpChunk), until
// total went or twice the time passed; returns the units sent.
qint64 SendPaced(int fd, const sockaddr_in* to, qint64 rate, qint64 total, double seconds) {
    QByteArray chunk(to != nullptr ? MAX_UDP_PAYLOAD : kTcpChunk, 'c');
    qint64 sent = 0;
    QElapsedTimer clock;
    clock.start();
    while (sent < total && clock.nsecsElapsed() < qint64(2e9 * seconds)) {
        const qint64 due = qMin(total, rate * clock.nsecsElapsed() / 1000000000);
        if (sent >= due) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        if (to != nullptr) {
            if (sendto(fd, chunk.constData(), size_t(chunk.size()), 0, (const sockaddr*)to, sizeof(*to)) ==
                chunk.size())
                ++sent;
        } else {
            const ssize_t n = send(fd, chunk.constData(), size_t(qMin<qint64>(kTcpChunk, due - sent)), MSG_NOSIGNAL);
            if (n > 0)
                sent += n;
        }
    }
    return sent;
}

// Lines and bytes of a file, read in pieces.
void FileCounts(const QString& path, qint64* lines, qint64* bytes) {
    *lines = 0;
    *bytes = 0;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    QByteArray piece;
    while (!(piece = file.read(1 << 20)).isEmpty()) {
        *lines += piece.count('\n');
        *bytes += piece.size();
    }
}

struct Result {
    qint64 sent = 0;      // datagrams (UDP) or bytes (TCP)
    qint64 received = 0;  // the same unit, by the session's count
    qint64 chunks = 0;    // lines the session made meanwhile
    qint64 fileLines = -1, fileBytes = -1;
    double p99 = 0, max = 0;
};

// One bounded run of send while the window ticks; the session is shown, and
// captures to path when it is not empty.
Result Run(windowdriver::Window& w, TickRecorder* ticks, SessionItem* session, const QString& path, qint64 unit,
           const std::function<qint64()>& send) {
    w.Click(session->GetTreeItem());
    int chunks = 0;
    const QMetaObject::Connection counting =
        QObject::connect(session, &SessionItem::OnReceived, [&](QTreeWidgetItem*, const SessionLine& line) {
            chunks += line.IsReceived() ? 1 : 0;
        });
    if (!path.isEmpty() && !session->StartCapture(path, false))
        printf("capture did not start: %s\n", qPrintable(session->GetLastError()));
    Result r;
    const qint64 before = session->GetRecvTotal();
    std::atomic<bool> done(false);
    ticks->Reset();
    std::thread sender([&] {
        r.sent = send();
        done = true;
    });
    benchenv::RunUntil([&] { return done.load(); }, 60000);
    sender.join();
    r.p99 = ticks->Quantile(0.99);
    r.max = ticks->Quantile(1.0);
    benchenv::RunUntil([&] { return (session->GetRecvTotal() - before) / unit >= r.sent; }, 5000);
    r.received = (session->GetRecvTotal() - before) / unit;
    r.chunks = chunks;
    QObject::disconnect(counting);
    if (!path.isEmpty()) {
        session->StopCapture();
        FileCounts(path, &r.fileLines, &r.fileBytes);
        QFile::remove(path);
    }
    return r;
}

// Prints one case; true when the window and the file lost nothing.
bool Report(const char* name, const Result& plain, const Result& captured, qint64 unit) {
    const qint64 payload = captured.received * unit;
    const bool window = plain.received == plain.sent && captured.received == captured.sent;
    const bool file = captured.fileLines == captured.chunks &&
                      captured.fileBytes == payload + captured.chunks * kLineOverhead;
    printf("%s\n", name);
    printf("  without capture: sent %lld, counted %lld; tick p99 %.2f ms, max %.2f ms\n", (long long)plain.sent,
           (long long)plain.received, plain.p99, plain.max);
    printf("  with capture:    sent %lld, counted %lld; tick p99 %.2f ms, max %.2f ms\n", (long long)captured.sent,
           (long long)captured.received, captured.p99, captured.max);
    printf("  file: %lld lines for %lld chunks, %lld bytes for %lld expected (%.0f MB)\n",
           (long long)captured.fileLines, (long long)captured.chunks, (long long)captured.fileBytes,
           (long long)(payload + captured.chunks * kLineOverhead), captured.fileBytes / 1e6);
    printf("  tick p99 with capture / without: %.2f\n", plain.p99 > 0 ? captured.p99 / plain.p99 : 0.0);
    printf("  nothing lost in the window: %s; in the file: %s\n", window ? "yes" : "NO", file ? "yes" : "NO");
    fflush(stdout);
    return window && file;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = benchenv::SecondsArg(argc, argv, 5, 10);
    QTemporaryDir settings;
    benchenv::Prepare(&settings);
    QApplication app(argc, argv);
    QTemporaryDir files;
    windowdriver::Window w;
    TickRecorder ticks(&w.window);
    printf("%.1f s per run; text capture of the session shown, beside the same run without\n", seconds);

    // UDP: numbered by count only; every datagram is MAX_UDP_PAYLOAD bytes.
    QTreeWidgetItem* udpItem = w.Create("UDP", {"ipLineEdit", "127.0.0.1", "portLineEdit", "9", "localIPLineEdit",
                                                "127.0.0.1", "localPortLineEdit", "0"});
    auto* udp = qobject_cast<SessionItemUDPClient*>(SessionItem::FromTreeItem(udpItem));
    if (udp == nullptr || !udp->IsOpen()) {
        printf("the window made no open UDP session\n");
        return 1;
    }
    const sockaddr_in udpTo = testnet::Ipv4("127.0.0.1", quint16(udp->GetLocalPort()));
    auto sendUdp = [&] {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        const qint64 sent = SendPaced(fd, &udpTo, kUdpRate, qint64(kUdpRate * seconds), seconds);
        close(fd);
        return sent;
    };
    const Result udpPlain = Run(w, &ticks, udp, QString(), MAX_UDP_PAYLOAD, sendUdp);
    const Result udpCaptured = Run(w, &ticks, udp, files.filePath("udp.txt"), MAX_UDP_PAYLOAD, sendUdp);
    const bool udpOk = Report("UDP, 1400-byte datagrams at 20,000/s", udpPlain, udpCaptured, MAX_UDP_PAYLOAD);

    // TCP: a server session; the writer's connection is the session shown.
    QTreeWidgetItem* server = w.Create("TCP Server", "127.0.0.1", testnet::FreePort());
    const quint16 port = quint16(server->text(0).section(':', 1).toUInt());
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in to = testnet::Ipv4("127.0.0.1", port);
    if (::connect(fd, (const sockaddr*)&to, sizeof(to)) != 0 ||
        !benchenv::RunUntil([&] { return server->childCount() == 1; }, 5000)) {
        printf("the window accepted no connection\n");
        return 1;
    }
    SessionItem* tcp = SessionItem::FromTreeItem(server->child(0));
    auto sendTcp = [&] { return SendPaced(fd, nullptr, kTcpBytesPerSecond, qint64(kTcpBytesPerSecond * seconds), seconds); };
    const Result tcpPlain = Run(w, &ticks, tcp, QString(), 1, sendTcp);
    const Result tcpCaptured = Run(w, &ticks, tcp, files.filePath("tcp.txt"), 1, sendTcp);
    close(fd);
    const bool tcpOk = Report("TCP, paced 50 MB/s in writes of up to 64 KiB", tcpPlain, tcpCaptured, 1);

    printf("goals: nothing lost in the window or the file: %s; tick p99 with capture near the run without "
           "(ratios above)\n", udpOk && tcpOk ? "yes" : "NO");
    return 0;
}
