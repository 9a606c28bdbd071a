// Process setup shared by the benchmarks: offscreen platform unless one is
// chosen, settings in a private temporary folder, enough file descriptors,
// and the process's CPU time.
#ifndef MAROVENT_TESTS_BENCHENV_H
#define MAROVENT_TESTS_BENCHENV_H

#include <sys/resource.h>

#include <QTemporaryDir>
#include <QtGlobal>

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

}  // namespace benchenv

#endif
