#include "DialogForm.h"

#include <QComboBox>
#include <QDialog>
#include <QIntValidator>
#include <QLineEdit>

#include "SettingsKeys.h"

void ClearContextHelp(QDialog* dialog) {
    dialog->setWindowFlags(dialog->windowFlags() & ~Qt::WindowContextHelpButtonHint);
}

void PrepareTextField(QLineEdit* field) {
    field->setAttribute(Qt::WA_InputMethodEnabled, false);
}

void PrepareNumberField(QLineEdit* field) {
    PrepareTextField(field);
    field->setValidator(new QIntValidator(field));
}

int StoredIndex(const SettingKey& key, int count) {
    int index = SettingInt(key);
    return index >= 0 && index < count ? index : QString(key.fallback).toInt();
}

void SelectStoredIndex(QComboBox* combo, const SettingKey& key) {
    combo->setCurrentIndex(StoredIndex(key, combo->count()));
}
