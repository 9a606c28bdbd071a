// The KCP client dialog: the remote address, port and KCP mode to connect with.
#ifndef MAROVENT_OPENPANELKCPCLIENT_H
#define MAROVENT_OPENPANELKCPCLIENT_H

#include "OpenPanelEndpoint.h"

namespace Ui {
class OpenPanelKCPClientClass;
}

class OpenPanelKCPClient : public OpenPanelEndpoint {
    Q_OBJECT
public:
    explicit OpenPanelKCPClient(QWidget* parent = nullptr);
    ~OpenPanelKCPClient() override;

    // KCP mode as stored: 0 default, 1 fast, 2 ultra.
    int GetMode() const;

private slots:
    void on_confirmButton_clicked();

private:
    Ui::OpenPanelKCPClientClass* ui;
};

#endif
