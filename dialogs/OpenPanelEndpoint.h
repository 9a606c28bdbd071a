// What the TCP and KCP dialogs share: an address, a port and, for KCP, a mode,
// loaded from the store when built and stored on confirm; the server dialogs
// also cycle the address field through "0.0.0.0" and the local IPv4 addresses.
#ifndef MAROVENT_OPENPANELENDPOINT_H
#define MAROVENT_OPENPANELENDPOINT_H

#include <QDialog>
#include <QStringList>

#include "SettingsKeys.h"

class QComboBox;
class QLineEdit;
class QPushButton;

// The keys one dialog stores to; mode.name is null for the TCP dialogs.
struct EndpointKeys {
    SettingKey ip;
    SettingKey port;
    SettingKey mode;
};

// The form's widgets; mode is null for TCP, detect is null for the client dialogs.
struct EndpointFields {
    QLineEdit* ip;
    QLineEdit* port;
    QComboBox* mode;
    QPushButton* detect;
    QPushButton* confirm;
};

class OpenPanelEndpoint : public QDialog {
    Q_OBJECT
public:
    // The stored values, read after exec returned accepted.
    QString GetIP() const;
    int GetPort() const;

protected:
    OpenPanelEndpoint(const EndpointKeys& keys, QWidget* parent);

    // Called by each dialog right after its form is set up.
    void Attach(const EndpointFields& fields);
    int StoredMode() const;
    void DetectNext();
    void Confirm();

private:
    EndpointKeys keys_;
    EndpointFields fields_{};
    QStringList addresses_;
    int cursor_ = 0;
};

#endif
