// Points the settings store at a private temporary folder before main runs,
// so a test binary started by hand or by a script never writes the user's
// real settings file.
#ifndef MAROVENT_TESTS_PRIVATESETTINGS_H
#define MAROVENT_TESTS_PRIVATESETTINGS_H

#include <QTemporaryDir>

namespace privatesettings {

inline QTemporaryDir& Folder() {
    static QTemporaryDir dir;
    return dir;
}

inline const bool kInstalled = [] {
    qputenv("XDG_CONFIG_HOME", Folder().path().toUtf8());
    return true;
}();

}  // namespace privatesettings

#endif
