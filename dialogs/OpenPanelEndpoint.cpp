#include "OpenPanelEndpoint.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "DialogForm.h"
#include "LocalInterfaces.h"

OpenPanelEndpoint::OpenPanelEndpoint(const EndpointKeys& keys, QWidget* parent)
    : QDialog(parent), keys_(keys) {}

void OpenPanelEndpoint::Attach(const EndpointFields& fields) {
    fields_ = fields;
    ClearContextHelp(this);
    PrepareTextField(fields.ip);
    PrepareNumberField(fields.port);

    fields.ip->setText(SettingText(keys_.ip));
    fields.port->setText(SettingText(keys_.port));
    if (fields.mode != nullptr)
        SelectStoredIndex(fields.mode, keys_.mode);

    if (fields.detect != nullptr) {
        addresses_.append("0.0.0.0");
        for (const LocalInterface& entry : LocalIPv4Interfaces())
            addresses_.append(entry.address);
        fields.confirm->setFocus();
    }
}

int OpenPanelEndpoint::StoredMode() const {
    return keys_.mode.name != nullptr ? SettingInt(keys_.mode) : 0;
}

void OpenPanelEndpoint::DetectNext() {
    int index = NextDetectIndex(cursor_, addresses_.size());
    if (index >= 0)
        fields_.ip->setText(addresses_[index]);
}

void OpenPanelEndpoint::Confirm() {
    SetSettingText(keys_.ip, fields_.ip->text());
    SetSettingPort(keys_.port, fields_.port->text());
    if (fields_.mode != nullptr)
        SetSettingInt(keys_.mode, fields_.mode->currentIndex());
    done(1);
}

QString OpenPanelEndpoint::GetIP() const {
    return SettingText(keys_.ip);
}

int OpenPanelEndpoint::GetPort() const {
    return SettingInt(keys_.port);
}
