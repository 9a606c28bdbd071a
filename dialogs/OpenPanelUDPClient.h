// The UDP dialog: a normal pane (remote and local address for unicast and
// broadcast) and a group pane (multicast group, interface, group port). Both
// panes are stored on confirm; the pane showing decides multicast.
#ifndef MAROVENT_OPENPANELUDPCLIENT_H
#define MAROVENT_OPENPANELUDPCLIENT_H

#include <QDialog>
#include <QList>
#include <QString>

class QLineEdit;

namespace Ui {
class OpenPanelUDPClientClass;
}

class OpenPanelUDPClient : public QDialog {
    Q_OBJECT
public:
    explicit OpenPanelUDPClient(QWidget* parent = nullptr);
    ~OpenPanelUDPClient() override;

    // The stored values of the pane that was showing, read after exec
    // returned accepted and before the dialog is destroyed.
    QString GetRemoteIP() const;
    int GetRemotePort() const;
    QString GetLocalIP() const;
    int GetLocalPort() const;
    bool IsMulticast() const;
    QString GetInterfaceIP() const;

private slots:
    void on_confirmButton_clicked();
    void on_confirmButton1_clicked();
    void on_udpButton_clicked();
    void on_multicastButton_clicked();
    void on_broadcastButton_clicked();
    void on_detectButton_clicked();
    void on_detect2Button_clicked();

private:
    void ShowPane(bool multicast);
    // Shows the next interface of one cursor's cycle in a field and makes its
    // broadcast address the target; does nothing when the machine has no
    // IPv4 interface.
    void DetectInto(int& cursor, QLineEdit* field);
    void Confirm();

    Ui::OpenPanelUDPClientClass* ui;
    QList<QString> localIPs_;
    QList<QString> broadcasts_;  // one per local IP
    int detectCursor_ = 0;
    int detect2Cursor_ = 0;
    QString broadcastTarget_ = "127.0.0.1";
    bool multicast_ = false;
};

#endif
