#include "Settings.h"

#include <QSettings>

QSettings* GetSettings() {
    static QSettings* settings =
        new QSettings(QSettings::NativeFormat, QSettings::UserScope, "kestrum", "polvane");
    return settings;
}
