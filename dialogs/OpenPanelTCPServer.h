// The TCP server dialog: the local address and port to listen on.
#ifndef MAROVENT_OPENPANELTCPSERVER_H
#define MAROVENT_OPENPANELTCPSERVER_H

#include "OpenPanelEndpoint.h"

namespace Ui {
class OpenPanelTCPServerClass;
}

class OpenPanelTCPServer : public OpenPanelEndpoint {
    Q_OBJECT
public:
    explicit OpenPanelTCPServer(QWidget* parent = nullptr);
    ~OpenPanelTCPServer() override;

private slots:
    void on_confirmButton_clicked();
    void on_detectButton_clicked();

private:
    Ui::OpenPanelTCPServerClass* ui;
};

#endif
