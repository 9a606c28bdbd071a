#include "OpenPanelKCPServer.h"

#include "ui_OpenPanelKCPServer.h"

OpenPanelKCPServer::OpenPanelKCPServer(QWidget* parent)
    : OpenPanelEndpoint({KCPSERVER_IP, KCPSERVER_PORT, KCPSERVER_MODE}, parent), ui(new Ui::OpenPanelKCPServerClass) {
    ui->setupUi(this);
    Attach({ui->ipLineEdit, ui->portLineEdit, ui->modeComboBox, ui->detectButton, ui->confirmButton});
}

OpenPanelKCPServer::~OpenPanelKCPServer() {
    delete ui;
}

int OpenPanelKCPServer::GetMode() const {
    return StoredMode();
}

void OpenPanelKCPServer::on_confirmButton_clicked() {
    Confirm();
}

void OpenPanelKCPServer::on_detectButton_clicked() {
    DetectNext();
}
