// Process setup shared by the benchmarks: offscreen platform unless one is
// chosen, settings in a private temporary folder, enough file descriptors,
// the seconds-per-measurement argument, the process's CPU time, the tick
// period, and running the event loop as the program itself runs it.
#ifndef MAROVENT_BENCH_BENCHENV_H
#define MAROVENT_BENCH_BENCHENV_H

#include <sys/resource.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <QVector>
#include <QWidget>
#include <QtGlobal>

#include <stdlib.h>

#include <algorithm>
#include <functional>

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

// The seconds per measurement given as the first argument, or fallback when
// there is none or it is not a number in (0, max]. Read it before the
// application object takes the arguments.
inline double SecondsArg(int argc, char** argv, double fallback, double max = 30) {
    if (argc < 2)
        return fallback;
    char* end = nullptr;
    const double seconds = strtod(argv[1], &end);
    return end != argv[1] && *end == '\0' && seconds > 0 && seconds <= max ? seconds : fallback;
}

// Runs the application's own event loop until done() holds or ms pass, and
// returns done(). Unlike QTest::qWait, which sleeps between its passes, this
// sleeps only in the loop's wait, so timers and socket notifiers fire when
// they would in the program.
inline bool RunUntil(const std::function<bool()>& done, int ms) {
    if (done())
        return true;
    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done() || clock.elapsed() >= ms)
            loop.quit();
    });
    check.start(5);
    loop.exec();
    return done();
}

// The same for a fixed time, with no check of its own waking the loop.
inline void RunFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
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
