// Process setup shared by the benchmarks: offscreen platform unless one is
// chosen, settings in a private temporary folder, enough file descriptors,
// and the process's CPU time.
#ifndef MAROVENT_BENCH_BENCHENV_H
#define MAROVENT_BENCH_BENCHENV_H

#include <sys/resource.h>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <QVector>
#include <QWidget>
#include <QtGlobal>

#include <algorithm>

namespace benchenv {

// Call before the application object exists; keep dir alive for the run.
inline void Prepare(QTemporaryDir* dir) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("XDG_CONFIG_HOME", dir->path().toUtf8());
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// User plus system CPU seconds of this process so far.
inline double CpuSeconds() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Records the period between consecutive ticks of the window's 10 ms timer.
struct TickRecorder {
    QElapsedTimer clock;
    qint64 last = -1;
    QVector<double> periodsMs;

    explicit TickRecorder(QWidget* window) {
        clock.start();
        for (QTimer* timer : window->findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (timer->interval() != 10)
                continue;
            QObject::connect(timer, &QTimer::timeout, [this] {
                const qint64 now = clock.nsecsElapsed();
                if (last >= 0)
                    periodsMs.append((now - last) / 1e6);
                last = now;
            });
        }
    }
    void Reset() {
        periodsMs.clear();
        last = -1;
    }
    // The q-th quantile (0..1) of the recorded periods, 0 when none.
    double Quantile(double q) const {
        if (periodsMs.isEmpty())
            return 0;
        QVector<double> sorted = periodsMs;
        std::sort(sorted.begin(), sorted.end());
        return sorted[qMin(sorted.size() - 1, (int)(q * sorted.size()))];
    }
};

}  // namespace benchenv

#endif
