#include <sys/resource.h>

#include <QApplication>

#include "command_line.h"
#include "marovent.h"

// Each private libuv loop holds several descriptors; a few hundred sessions or a
// server with a thousand connections would exhaust the usual soft limit of 1024.
static void RaiseOpenFileLimit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int main(int argc, char* argv[]) {
    int code;
    if (HandleCommandLine(argc, argv, &code))
        return code;
    RaiseOpenFileLimit();
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "1");
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);
    QApplication app(argc, argv);
    {
        marovent window;
        window.show();
        code = app.exec();
    }
    return code;
}
