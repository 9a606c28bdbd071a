// A UDP session receiving numbered 1400-byte datagrams from a loopback sender
// thread, paced at 5,000, 10,000, 20,000 and 40,000 per second.
//
// Baseline: the bare transport object on a plain 10 ms QTimer, one
// udp_client_run per tick, no window, with the receive buffer a session's
// socket is granted. Then a session in the real window, driven by the
// window's own tick: shown (selected, its lines going into the view), not
// shown, and shown again with its socket's receive buffer cut to what a stock
// kernel grants (212,992 bytes). Loss is what was sent less what arrived.
//
//   build/bench/udp_session_bench [seconds per measurement, default 2]
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidgetItem>

#include <arpa/inet.h>
#include <dirent.h>
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

const int kRates[] = {5000, 10000, 20000, 40000};
const int kRateCount = int(sizeof(kRates) / sizeof(kRates[0]));
// What a stock kernel grants (net.core.rmem_max 212,992): the kernel doubles
// the asked size for its own bookkeeping, so asking half gives exactly that.
const int kStockAsk = 106496;

struct Sent {
    int count = 0;
    double seconds = 0;
};

// Sends datagram i (its number in eight digits, then filler) to 127.0.0.1:port,
// paced at rate per second for the given time; stops at twice that time even
// when it has fallen behind.
Sent SendNumbered(quint16 port, int rate, double seconds) {
    Sent result;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return result;
    const sockaddr_in to = testnet::Ipv4("127.0.0.1", port);
    QByteArray datagram(MAX_UDP_PAYLOAD, 'u');
    const int total = int(rate * seconds);
    QElapsedTimer clock;
    clock.start();
    while (result.count < total && clock.nsecsElapsed() < qint64(2e9 * seconds)) {
        const qint64 due = qint64(rate) * clock.nsecsElapsed() / 1000000000;
        if (result.count >= due) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            continue;
        }
        const QByteArray number = QByteArray::number(result.count).rightJustified(8, '0');
        memcpy(datagram.data(), number.constData(), 8);
        if (sendto(fd, datagram.constData(), size_t(datagram.size()), 0, testnet::Sa(to), sizeof(to)) ==
            datagram.size())
            ++result.count;
    }
    result.seconds = clock.nsecsElapsed() / 1e9;
    close(fd);
    return result;
}

// This process's IPv4 UDP socket bound to port, found among its descriptors;
// -1 when there is none. The session keeps its socket to itself.
int FindUdpSocket(quint16 port) {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    int found = -1;
    while (dirent* entry = readdir(dir)) {
        const int fd = atoi(entry->d_name);
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9' || fd == dirfd(dir))
            continue;
        int type = 0;
        socklen_t length = sizeof(type);
        sockaddr_in local = {};
        socklen_t addrLength = sizeof(local);
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_DGRAM &&
            getsockname(fd, (sockaddr*)&local, &addrLength) == 0 && local.sin_family == AF_INET &&
            ntohs(local.sin_port) == port) {
            found = fd;
            break;
        }
    }
    closedir(dir);
    return found;
}

int GrantedReceiveBuffer(int fd) {
    int bytes = -1;
    socklen_t length = sizeof(bytes);
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, &length);
    return bytes;
}

// The session's own count of datagrams the kernel dropped (-1 when not counted).
qint64 SessionDropped(SessionItem* session) {
    return session->GetDroppedCount();
}

// One receiver under test: datagrams taken so far, and the kernel's drops
// (-1 when not counted).
struct Receiver {
    std::function<qint64()> received;
    std::function<qint64()> dropped;
};

struct Row {
    int rate = 0;
    Sent sent;
    qint64 received = 0;
    qint64 dropped = -1;
    double p99 = 0, max = 0;
    double LossPercent() const { return sent.count > 0 ? 100.0 * (sent.count - received) / sent.count : 0; }
    double Share() const { return sent.count > 0 ? double(received) / sent.count : 0; }
};

// Runs the event loop until the count stops moving for 200 ms (at most ms).
void Settle(const Receiver& receiver, int ms) {
    qint64 last = receiver.received();
    QElapsedTimer still;
    still.start();
    benchenv::RunUntil([&] {
        const qint64 now = receiver.received();
        if (now != last) {
            last = now;
            still.restart();
        }
        return still.elapsed() >= 200;
    }, ms);
}

// Sends at rate while the event loop runs the ticks, then lets what is
// still queued in; prints one row.
Row Measure(const char* label, const Receiver& receiver, TickRecorder* ticks, quint16 port, int rate,
            double seconds, const Row* baseline) {
    Settle(receiver, 2000);
    Row row;
    row.rate = rate;
    const qint64 before = receiver.received();
    const qint64 droppedBefore = receiver.dropped();
    std::atomic<bool> done(false);
    ticks->Reset();
    std::thread sender([&] {
        row.sent = SendNumbered(port, rate, seconds);
        done = true;
    });
    benchenv::RunUntil([&] { return done.load(); }, int(3000 * seconds));
    sender.join();
    row.p99 = ticks->Quantile(0.99);
    row.max = ticks->Quantile(1.0);
    Settle(receiver, 3000);
    row.received = receiver.received() - before;
    const qint64 droppedAfter = receiver.dropped();
    row.dropped = droppedBefore >= 0 && droppedAfter >= 0 ? droppedAfter - droppedBefore : -1;
    const double achieved = row.sent.seconds > 0 ? row.sent.count / row.sent.seconds : 0;
    printf("%-28s %6d %7d %7lld %7lld %7.2f%% %8s %8.2f %8.2f %7s%s\n", label, rate, row.sent.count,
           (long long)row.received, (long long)(row.sent.count - row.received), row.LossPercent(),
           baseline != nullptr && baseline->Share() > 0
               ? qPrintable(QString::number(row.Share() / baseline->Share(), 'f', 3))
               : "-",
           row.p99, row.max, row.dropped >= 0 ? qPrintable(QString::number(row.dropped)) : "n/a",
           achieved < 0.95 * rate ? "  (sender fell behind)" : "");
    fflush(stdout);
    return row;
}

// A UDP session made through the window's dialog, bound on loopback.
SessionItemUDPClient* CreateInWindow(windowdriver::Window& w) {
    QTreeWidgetItem* item = w.Create("UDP", {"ipLineEdit", "127.0.0.1", "portLineEdit", "9", "localIPLineEdit",
                                             "127.0.0.1", "localPortLineEdit", "0"});
    return qobject_cast<SessionItemUDPClient*>(SessionItem::FromTreeItem(item));
}

// The receive buffer a session's socket is granted, read off a session made
// for that alone (its socket is found by its port).
int SessionReceiveBuffer() {
    SessionItemUDPClient probe("UDPClient");
    if (!probe.Start("127.0.0.1", 9, "127.0.0.1", 0, false, ""))
        return -1;
    const int fd = FindUdpSocket(quint16(probe.GetLocalPort()));
    const int bytes = fd >= 0 ? GrantedReceiveBuffer(fd) : -1;
    probe.Close();
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = benchenv::SecondsArg(argc, argv, 2);
    QTemporaryDir settings;
    benchenv::Prepare(&settings);
    QApplication app(argc, argv);

    printf("%.1f s per measurement; 1400-byte datagrams from a loopback thread\n", seconds);
    Row bare[kRateCount];
    Row shown[kRateCount];
    Row hidden[kRateCount];
    Row capped[kRateCount];

    // The baseline: the transport object alone, one run per plain 10 ms tick.
    const int sessionBuffer = SessionReceiveBuffer();
    {
        UDPCLIENT endpoint = udp_client_create();
        if (udp_client_start(endpoint, testnet::Sa(testnet::Ipv4("127.0.0.1", 0))) != 0) {
            printf("cannot bind: %s\n", net_last_error());
            return 1;
        }
        if (sessionBuffer > 0)
            udp_client_set_recv_buffer_size(endpoint, sessionBuffer / 2);
        sockaddr_in local = {};
        udp_client_local_addr(endpoint, (sockaddr*)&local);
        const quint16 port = ntohs(local.sin_port);
        const int fd = FindUdpSocket(port);
        printf("bare transport: receive buffer %d bytes granted (a session's socket gets %d)\n",
               fd >= 0 ? GrantedReceiveBuffer(fd) : -1, sessionBuffer);
        printf("%-28s %6s %7s %7s %7s %8s %8s %8s %8s %7s\n", "case", "rate/s", "sent", "got", "lost", "loss",
               "vs bare", "p99 ms", "max ms", "dropped");
        struct Count {
            qint64 datagrams = 0;
            int last = -1;
            bool ordered = true;
        } count;
        udp_client_set_user_data(endpoint, &count);
        udp_client_set_recv_cb(endpoint, [](const char* data, int64_t nread, const sockaddr*, void* user) {
            auto* c = static_cast<Count*>(user);
            const int number = nread >= 8 ? QByteArray(data, 8).toInt() : -1;
            // Each measurement numbers its datagrams from 0 again.
            c->ordered = c->ordered && (number > c->last || number == 0);
            c->last = number;
            ++c->datagrams;
        });
        QWidget host;
        auto* tick = new QTimer(&host);
        tick->setInterval(10);
        QObject::connect(tick, &QTimer::timeout, [endpoint] { udp_client_run(endpoint, NET_RUN_NOWAIT); });
        TickRecorder ticks(&host);
        tick->start();
        const Receiver receiver = {[&] { return count.datagrams; },
                                   [endpoint] { return qint64(udp_client_dropped(endpoint)); }};
        for (int i = 0; i < kRateCount; ++i)
            bare[i] = Measure("bare transport, 10 ms timer", receiver, &ticks, port, kRates[i], seconds, nullptr);
        printf("bare transport: datagrams %s\n", count.ordered ? "in order" : "OUT OF ORDER");
        tick->stop();
        udp_client_destroy(endpoint);
    }

    windowdriver::Window w;
    TickRecorder ticks(&w.window);
    SessionItemUDPClient* session = CreateInWindow(w);
    if (session == nullptr || !session->IsOpen()) {
        printf("the window made no open UDP session\n");
        return 1;
    }
    const quint16 port = quint16(session->GetLocalPort());
    // Every datagram is 1400 bytes: the byte count says how many arrived.
    const Receiver receiver = {[session] { return session->GetRecvTotal() / MAX_UDP_PAYLOAD; },
                               [session] { return SessionDropped(session); }};
    w.Click(session->GetTreeItem());
    for (int i = 0; i < kRateCount; ++i)
        shown[i] = Measure("window, session shown", receiver, &ticks, port, kRates[i], seconds, &bare[i]);
    w.Click(w.Root("UDP"));
    for (int i = 0; i < kRateCount; ++i)
        hidden[i] = Measure("window, not shown", receiver, &ticks, port, kRates[i], seconds, &bare[i]);

    const int fd = FindUdpSocket(port);
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kStockAsk, sizeof(kStockAsk)) != 0) {
        printf("cannot find the session's socket to cap its buffer\n");
        return 1;
    }
    printf("session's socket capped: %d bytes granted (was %d)\n", GrantedReceiveBuffer(fd), sessionBuffer);
    w.Click(session->GetTreeItem());
    for (int i = 0; i < kRateCount; ++i)
        capped[i] = Measure("window, shown, stock buffer", receiver, &ticks, port, kRates[i], seconds, &bare[i]);

    bool noLossShown = true;
    for (int i = 0; i < kRateCount; ++i)
        noLossShown = noLossShown && (kRates[i] > 20000 || shown[i].received >= shown[i].sent.count);
    printf("goals:\n");
    printf("  no loss up to 20,000/s, session shown: %s\n", noLossShown ? "yes" : "NO");
    const int r10k = 1, r40k = 3;  // where 10,000/s and 40,000/s stand in kRates
    printf("  40,000/s: loss %.2f %% shown, %.2f %% not shown, %.2f %% bare; shown received %.3f of bare\n",
           shown[r40k].LossPercent(), hidden[r40k].LossPercent(), bare[r40k].LossPercent(),
           bare[r40k].Share() > 0 ? shown[r40k].Share() / bare[r40k].Share() : 0.0);
    printf("  stock buffer, no loss at 10,000/s shown (aim): %s (loss %.2f %%)\n",
           capped[r10k].received >= capped[r10k].sent.count ? "yes" : "NO", capped[r10k].LossPercent());
    return 0;
}
