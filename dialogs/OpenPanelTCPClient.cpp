#include "OpenPanelTCPClient.h"

#include "ui_OpenPanelTCPClient.h"

OpenPanelTCPClient::OpenPanelTCPClient(QWidget* parent)
    : OpenPanelEndpoint({TCPCLIENT_IP, TCPCLIENT_PORT, {nullptr, nullptr}}, parent), ui(new Ui::OpenPanelTCPClientClass) {
    ui->setupUi(this);
    Attach({ui->ipLineEdit, ui->portLineEdit, nullptr, nullptr, ui->confirmButton});
}

OpenPanelTCPClient::~OpenPanelTCPClient() {
    delete ui;
}

void OpenPanelTCPClient::on_confirmButton_clicked() {
    Confirm();
}
