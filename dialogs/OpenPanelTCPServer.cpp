#include "OpenPanelTCPServer.h"

#include "ui_OpenPanelTCPServer.h"

OpenPanelTCPServer::OpenPanelTCPServer(QWidget* parent)
    : OpenPanelEndpoint({TCPSERVER_IP, TCPSERVER_PORT, {nullptr, nullptr}}, parent), ui(new Ui::OpenPanelTCPServerClass) {
    ui->setupUi(this);
    Attach({ui->ipLineEdit, ui->portLineEdit, nullptr, ui->detectButton, ui->confirmButton});
}

OpenPanelTCPServer::~OpenPanelTCPServer() {
    delete ui;
}

void OpenPanelTCPServer::on_confirmButton_clicked() {
    Confirm();
}

void OpenPanelTCPServer::on_detectButton_clicked() {
    DetectNext();
}
