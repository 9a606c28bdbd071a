#include "OpenPanelUDPClient.h"

#include "DialogForm.h"
#include "LocalInterfaces.h"
#include "SettingsKeys.h"
#include "ui_OpenPanelUDPClient.h"

OpenPanelUDPClient::OpenPanelUDPClient(QWidget* parent)
    : QDialog(parent), ui(new Ui::OpenPanelUDPClientClass) {
    ui->setupUi(this);
    ClearContextHelp(this);
    for (QLineEdit* field : {ui->ipLineEdit, ui->localIPLineEdit, ui->multicastIpLineEdit, ui->interfaceLineEdit})
        PrepareTextField(field);
    for (QLineEdit* field : {ui->portLineEdit, ui->localPortLineEdit, ui->multicastPortLineEdit})
        PrepareNumberField(field);
    ui->groupUDPWidget->hide();

    ui->ipLineEdit->setText(SettingText(UDPCLIENT_IP));
    ui->portLineEdit->setText(SettingText(UDPCLIENT_PORT));
    ui->localIPLineEdit->setText(SettingText(UDPLOCAL_IP));
    ui->localPortLineEdit->setText(SettingText(UDPLOCAL_PORT));
    ui->multicastIpLineEdit->setText(SettingText(MULTICAST_IP));
    ui->multicastPortLineEdit->setText(SettingText(MULTICAST_PORT));

    for (const LocalInterface& entry : LocalIPv4Interfaces()) {
        localIPs_.append(entry.address);
        broadcasts_.append(BroadcastAddress(entry.address, entry.netmask));
    }
    ui->confirmButton->setFocus();

    // Without any IPv4 interface the field shows the window's own default.
    if (SettingContains(INTERFACE_IP) || localIPs_.isEmpty())
        ui->interfaceLineEdit->setText(SettingText(INTERFACE_IP));
    else
        ui->interfaceLineEdit->setText(localIPs_.first());
}

OpenPanelUDPClient::~OpenPanelUDPClient() {
    delete ui;
}

void OpenPanelUDPClient::ShowPane(bool multicast) {
    multicast_ = multicast;
    ui->normalUDPWidget->setVisible(!multicast);
    ui->groupUDPWidget->setVisible(multicast);
    (multicast ? ui->confirmButton1 : ui->confirmButton)->setFocus();
}

void OpenPanelUDPClient::DetectInto(int& cursor, QLineEdit* field) {
    int index = NextDetectIndex(cursor, localIPs_.size());
    if (index < 0)
        return;
    field->setText(localIPs_[index]);
    broadcastTarget_ = broadcasts_[index];
}

void OpenPanelUDPClient::Confirm() {
    SetSettingText(UDPCLIENT_IP, ui->ipLineEdit->text());
    SetSettingPort(UDPCLIENT_PORT, ui->portLineEdit->text());
    SetSettingText(UDPLOCAL_IP, ui->localIPLineEdit->text());
    SetSettingPort(UDPLOCAL_PORT, ui->localPortLineEdit->text());
    SetSettingText(MULTICAST_IP, ui->multicastIpLineEdit->text());
    SetSettingPort(MULTICAST_PORT, ui->multicastPortLineEdit->text());
    SetSettingText(INTERFACE_IP, ui->interfaceLineEdit->text());
    done(1);
}

void OpenPanelUDPClient::on_confirmButton_clicked() {
    Confirm();
}

void OpenPanelUDPClient::on_confirmButton1_clicked() {
    Confirm();
}

void OpenPanelUDPClient::on_udpButton_clicked() {
    ShowPane(false);
}

void OpenPanelUDPClient::on_multicastButton_clicked() {
    ShowPane(true);
}

void OpenPanelUDPClient::on_broadcastButton_clicked() {
    ui->ipLineEdit->setText(broadcastTarget_);
}

void OpenPanelUDPClient::on_detectButton_clicked() {
    DetectInto(detectCursor_, ui->localIPLineEdit);
}

void OpenPanelUDPClient::on_detect2Button_clicked() {
    DetectInto(detect2Cursor_, ui->interfaceLineEdit);
}

QString OpenPanelUDPClient::GetRemoteIP() const {
    return SettingText(multicast_ ? MULTICAST_IP : UDPCLIENT_IP);
}

int OpenPanelUDPClient::GetRemotePort() const {
    return SettingInt(multicast_ ? MULTICAST_PORT : UDPCLIENT_PORT);
}

QString OpenPanelUDPClient::GetLocalIP() const {
    return multicast_ ? QString("0.0.0.0") : SettingText(UDPLOCAL_IP);
}

int OpenPanelUDPClient::GetLocalPort() const {
    return SettingInt(multicast_ ? MULTICAST_PORT : UDPLOCAL_PORT);
}

bool OpenPanelUDPClient::IsMulticast() const {
    return multicast_;
}

QString OpenPanelUDPClient::GetInterfaceIP() const {
    return SettingText(INTERFACE_IP);
}
