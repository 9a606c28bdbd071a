// Field set-up every configuration dialog applies after building its form.
#ifndef MAROVENT_DIALOGFORM_H
#define MAROVENT_DIALOGFORM_H

class QComboBox;
class QDialog;
class QLineEdit;
struct SettingKey;

// No "?" button in the title bar.
void ClearContextHelp(QDialog* dialog);

// Addresses and numbers are typed as plain keys, never composed by an input method.
void PrepareTextField(QLineEdit* field);

// A text field that also accepts only an integer (digits and a sign, no range).
void PrepareNumberField(QLineEdit* field);

// Selects the stored index; one the combo does not have (a hand-edited
// store) selects the key's default instead of leaving no selection.
void SelectStoredIndex(QComboBox* combo, const SettingKey& key);

// The stored index when the combo has it, else the key's default.
int StoredIndex(const SettingKey& key, int count);

#endif
