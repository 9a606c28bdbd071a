// The persistent settings store shared by the dialogs and the window.
#ifndef MAROVENT_SETTINGS_H
#define MAROVENT_SETTINGS_H

class QSettings;

// The one process-wide store (organization "kestrum", application "polvane",
// native format, user scope: an INI file under the XDG config directory).
// Created on first use and never destroyed.
QSettings* GetSettings();

#endif
