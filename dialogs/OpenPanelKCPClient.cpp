#include "OpenPanelKCPClient.h"

#include "ui_OpenPanelKCPClient.h"

OpenPanelKCPClient::OpenPanelKCPClient(QWidget* parent)
    : OpenPanelEndpoint({KCPCLIENT_IP, KCPCLIENT_PORT, KCPCLIENT_MODE}, parent), ui(new Ui::OpenPanelKCPClientClass) {
    ui->setupUi(this);
    Attach({ui->ipLineEdit, ui->portLineEdit, ui->modeComboBox, nullptr, ui->confirmButton});
}

OpenPanelKCPClient::~OpenPanelKCPClient() {
    delete ui;
}

int OpenPanelKCPClient::GetMode() const {
    return StoredMode();
}

void OpenPanelKCPClient::on_confirmButton_clicked() {
    Confirm();
}
