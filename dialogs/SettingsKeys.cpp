#include "SettingsKeys.h"

#include <QSettings>

#include "Settings.h"

QString SettingText(const SettingKey& key) {
    return GetSettings()->value(key.name, QString(key.fallback)).toString();
}

int SettingInt(const SettingKey& key) {
    return GetSettings()->value(key.name, QString(key.fallback)).toInt();
}

bool SettingContains(const SettingKey& key) {
    return GetSettings()->contains(key.name);
}

void SetSettingText(const SettingKey& key, const QString& value) {
    GetSettings()->setValue(key.name, value);
}

void SetSettingInt(const SettingKey& key, int value) {
    GetSettings()->setValue(key.name, value);
}

void SetSettingPort(const SettingKey& key, const QString& typed) {
    SetSettingText(key, QString::number(typed.toInt()));
}
