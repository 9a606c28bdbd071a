// A UDP session receiving numbered 1400-byte datagrams from a loopback sender
// at fixed rates, driven by a 10 ms tick with one run per tick: first alone on
// a bare timer (the baseline), then in the real window offscreen, shown and
// not shown. Prints the loss at each rate and the delivery against the
// baseline measured in the same run.
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidgetItem>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <set>
#include <thread>

#include "Encoding.h"
#include "SessionItemUDPClient.h"
#include "BenchEnv.h"
#include "support/WindowDriver.h"

namespace {

const int kSendMs = 2000;
const int kRates[] = {1000, 2500, 5000};

// Sends datagram i as its number in eight digits followed by filler, paced
// at rate per second for kSendMs; returns how many went out.
int SendNumbered(quint16 port, int rate) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in to;
    memset(&to, 0, sizeof(to));
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    QByteArray datagram(MAX_UDP_PAYLOAD, 'u');
    const int total = rate * kSendMs / 1000;
    QElapsedTimer clock;
    clock.start();
    int sent = 0;
    while (sent < total && clock.elapsed() < kSendMs * 2) {
        const qint64 due = qint64(rate) * clock.nsecsElapsed() / 1000000000;
        if (sent >= due) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        const QByteArray number = QByteArray::number(sent).rightJustified(8, '0');
        memcpy(datagram.data(), number.constData(), 8);
        if (sendto(fd, datagram.constData(), size_t(datagram.size()), 0, (const sockaddr*)&to,
                   sizeof(to)) == datagram.size())
            ++sent;
    }
    close(fd);
    return sent;
}

// Watches a session's lines: the distinct datagram numbers seen and whether
// they arrived in the order sent.
struct Arrivals {
    std::set<int> numbers;
    int last = -1;
    bool ordered = true;

    void Attach(SessionItem* session) {
        QObject::connect(session, &SessionItem::OnReceived,
                         [this](QTreeWidgetItem*, QByteArray line) { Note(line); });
        // A trim signals a reset instead; the newest line is the one that caused it.
        QObject::connect(session, &SessionItem::OnResetReceived, [this, session](QTreeWidgetItem*) {
            if (!session->GetReceivedLines().isEmpty())
                Note(session->GetReceivedLines().last());
        });
    }
    void Note(const QByteArray& line) {
        const int start = line.indexOf("] ");
        if (start < 0)
            return;
        bool ok = false;
        const int n = line.mid(start + 2, 8).toInt(&ok);
        if (!ok)
            return;
        ordered = ordered && n > last;
        last = n;
        numbers.insert(n);
    }
    void Reset() {
        numbers.clear();
        last = -1;
        ordered = true;
    }
};

// Sends at rate while the event loop runs the ticks, then lets the last
// datagrams in; prints one row and returns the share delivered.
double Measure(const char* mode, SessionItemUDPClient* session, Arrivals* arrivals, int rate,
               double baseline) {
    arrivals->Reset();
    session->ClearReceived();
    std::atomic<int> sent(-1);
    const quint16 port = quint16(session->GetLocalPort());
    std::thread sender([&] { sent = SendNumbered(port, rate); });
    QElapsedTimer watchdog;
    watchdog.start();
    while (sent < 0 && watchdog.elapsed() < kSendMs * 3)
        QTest::qWait(20);
    sender.join();
    QTest::qWait(300);  // what is still queued arrives within a few ticks
    const int got = int(arrivals->numbers.size());
    const int lost = sent - got;
    const double delivered = sent > 0 ? double(got) / sent : 0.0;
    printf("%-24s %6d/s %7d %7d %7d %8.2f%% %9.4f %9.3f  %s\n", mode, rate, int(sent), got, lost,
           sent > 0 ? 100.0 * lost / sent : 0.0, delivered,
           baseline > 0 ? delivered / baseline : 1.0, arrivals->ordered ? "in order" : "REORDERED");
    fflush(stdout);
    return delivered;
}

// A UDP session created through the window's dialog, bound on loopback.
SessionItemUDPClient* CreateInWindow(windowdriver::Window& w) {
    using namespace windowdriver;
    w.Click(w.Root("UDP"));
    WhenModal<QDialog>([](QDialog* dialog) {
        dialog->findChild<QLineEdit*>("ipLineEdit")->setText("127.0.0.1");
        dialog->findChild<QLineEdit*>("portLineEdit")->setText("9");
        dialog->findChild<QLineEdit*>("localIPLineEdit")->setText("127.0.0.1");
        dialog->findChild<QLineEdit*>("localPortLineEdit")->setText("0");
        QTest::mouseClick(dialog->findChild<QPushButton*>("confirmButton"), Qt::LeftButton);
    });
    w.Press("createButton");
    return qobject_cast<SessionItemUDPClient*>(SessionItem::FromTreeItem(w.Current()));
}

}  // namespace

int main(int argc, char** argv) {
    QTemporaryDir settings;
    benchenv::Prepare(&settings);
    QApplication app(argc, argv);
    // Latin-1: the line holds the datagram's bytes one character each.
    CurrentEncoding = ENCODING_ASCII;

    printf("%-24s %8s %7s %7s %7s %9s %9s %9s\n", "tick", "rate", "sent", "got", "lost", "loss",
           "got/sent", "vs bare");
    const int rates = int(sizeof(kRates) / sizeof(kRates[0]));
    double baseline[rates];

    // The baseline: the session alone on a 10 ms timer, as the window's tick drives it.
    {
        SessionItemUDPClient session("UDPClient");
        if (!session.Start("127.0.0.1", 9, "127.0.0.1", 0, false, "")) {
            printf("cannot bind: %s\n", qPrintable(session.GetLastError()));
            return 1;
        }
        Arrivals arrivals;
        arrivals.Attach(&session);
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] { session.Update(); });
        tick.start(10);
        for (int i = 0; i < rates; ++i)
            baseline[i] = Measure("bare 10 ms timer", &session, &arrivals, kRates[i], 0);
    }

    // The real window's own tick, with the session's lines drawn and not drawn.
    windowdriver::Window w;
    SessionItemUDPClient* session = CreateInWindow(w);
    if (session == nullptr || !session->IsOpen()) {
        printf("the window made no open UDP session\n");
        return 1;
    }
    Arrivals arrivals;
    arrivals.Attach(session);
    for (int i = 0; i < rates; ++i)
        Measure("window, session shown", session, &arrivals, kRates[i], baseline[i]);
    w.Click(w.Root("UDP"));
    for (int i = 0; i < rates; ++i)
        Measure("window, not shown", session, &arrivals, kRates[i], baseline[i]);
    return 0;
}
