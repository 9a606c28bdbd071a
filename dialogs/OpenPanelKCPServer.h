// The KCP server dialog: the local address, port and KCP mode to listen with.
#ifndef MAROVENT_OPENPANELKCPSERVER_H
#define MAROVENT_OPENPANELKCPSERVER_H

#include "OpenPanelEndpoint.h"

namespace Ui {
class OpenPanelKCPServerClass;
}

class OpenPanelKCPServer : public OpenPanelEndpoint {
    Q_OBJECT
public:
    explicit OpenPanelKCPServer(QWidget* parent = nullptr);
    ~OpenPanelKCPServer() override;

    // KCP mode as stored: 0 default, 1 fast, 2 ultra.
    int GetMode() const;

private slots:
    void on_confirmButton_clicked();
    void on_detectButton_clicked();

private:
    Ui::OpenPanelKCPServerClass* ui;
};

#endif
