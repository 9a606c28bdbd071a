// The TCP client dialog: the remote address and port to connect to.
#ifndef MAROVENT_OPENPANELTCPCLIENT_H
#define MAROVENT_OPENPANELTCPCLIENT_H

#include "OpenPanelEndpoint.h"

namespace Ui {
class OpenPanelTCPClientClass;
}

class OpenPanelTCPClient : public OpenPanelEndpoint {
    Q_OBJECT
public:
    explicit OpenPanelTCPClient(QWidget* parent = nullptr);
    ~OpenPanelTCPClient() override;

private slots:
    void on_confirmButton_clicked();

private:
    Ui::OpenPanelTCPClientClass* ui;
};

#endif
