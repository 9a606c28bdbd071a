// 1000 idle TCP server sessions in the real window: the process's CPU share
// and the tick period, beside the same window with no sessions, in one run.
//
//   build/bench/tcp_sessions_idle_bench [seconds per measurement, default 5]
#include <QElapsedTimer>
#include <QMessageBox>
#include <cstdio>

#include "SessionItemServer.h"
#include "BenchEnv.h"
#include "support/Net.h"
#include "support/WindowDriver.h"

using namespace windowdriver;
using benchenv::TickRecorder;

namespace {

const int kSessions = 1000;
// Creating them goes through the dialog one by one; past this, measure what there is.
const int kCreateLimitMs = 40000;

struct Figures {
    double cpuPercent;
    double p50, p99, max;
};

Figures MeasureIdle(TickRecorder* ticks, int ms) {
    ticks->Reset();
    const double cpu = benchenv::CpuSeconds();
    QElapsedTimer wall;
    wall.start();
    benchenv::RunFor(ms);
    const double used = benchenv::CpuSeconds() - cpu;
    return {100.0 * used / (wall.nsecsElapsed() / 1e9), ticks->Quantile(0.5), ticks->Quantile(0.99),
            ticks->Quantile(1.0)};
}

void Print(const char* label, const Figures& f) {
    printf("%-22s cpu %6.2f %% of a core   tick p50 %6.2f ms  p99 %6.2f ms  max %7.2f ms\n", label,
           f.cpuPercent, f.p50, f.p99, f.max);
}

}  // namespace

int main(int argc, char** argv) {
    const int idleMs = int(benchenv::SecondsArg(argc, argv, 5) * 1000);
    QTemporaryDir settings;
    benchenv::Prepare(&settings);
    QApplication app(argc, argv);
    Window w;
    TickRecorder ticks(&w.window);

    const Figures empty = MeasureIdle(&ticks, idleMs);

    // A failed start would leave an error box open; close any that appears.
    int errors = 0;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            ++errors;
            box->done(0);
        }
    });
    closer.start(20);
    QElapsedTimer creating;
    creating.start();
    QTreeWidgetItem* root = w.Root("TCP Server");
    for (int i = 0; i < kSessions && creating.elapsed() < kCreateLimitMs; ++i)
        w.Create("TCP Server", "127.0.0.1", testnet::FreePort());
    closer.stop();
    int running = 0;
    for (int i = 0; i < root->childCount(); ++i) {
        auto* server = dynamic_cast<SessionItemServer*>(SessionItem::FromTreeItem(root->child(i)));
        running += (server != nullptr && server->IsRunning()) ? 1 : 0;
    }
    printf("created %d sessions in %.1f s, %d running, %d start errors\n", root->childCount(),
           creating.elapsed() / 1000.0, running, errors);
    w.Click(root);

    const Figures loaded = MeasureIdle(&ticks, idleMs);
    printf("idle for %d ms each:\n", idleMs);
    Print("no sessions", empty);
    Print("1000 idle TCP servers", loaded);
    printf("ratio loaded/empty: cpu %.1fx, tick p99 %.2fx\n",
           empty.cpuPercent > 0 ? loaded.cpuPercent / empty.cpuPercent : 0.0,
           empty.p99 > 0 ? loaded.p99 / empty.p99 : 0.0);
    printf("goals: all %d running: %s; cpu <= 5 %%: %s; tick p99 <= 12 ms: %s\n", kSessions,
           running == kSessions ? "yes" : "NO", loaded.cpuPercent <= 5 ? "yes" : "NO",
           loaded.p99 <= 12 ? "yes" : "NO");
    return 0;
}
