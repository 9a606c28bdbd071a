// The main window: session tree, state panel, receive and send views, and the
// 10 ms tick that runs every session's transport on the GUI thread.
#ifndef MAROVENT_MAROVENT_H
#define MAROVENT_MAROVENT_H

#include <QList>
#include <QMap>
#include <QWidget>

#include "transport.h"

namespace Ui {
class maroventClass;
}
class QTreeWidgetItem;
class QTimer;
class SessionItem;
class SessionItemClient;
class SessionItemServer;
class SessionItemTCPClient;
class SessionItemKCPClient;

class marovent : public QWidget {
    Q_OBJECT
public:
    explicit marovent(QWidget* parent = nullptr);
    ~marovent() override;

    // Formats a byte count or rate for the statistics line (b, Kb, Mb; decimal units).
    static QString FormatBytes(qint64 value, bool rate);
    // Space-separated groups of hexadecimal digits to bytes; other characters are skipped.
    static QByteArray ParseHexText(const QString& text);
    // CRC-16/MODBUS of count bytes, as its low and high byte.
    static void ModbusCrc16(const unsigned char* data, int count, unsigned char* low, unsigned char* high);
    // The text a stored line shows in the receive view: decoded, and shortened
    // when it is too long to lay out without stalling the window.
    static QString ViewText(const QByteArray& line);

protected:
    void closeEvent(QCloseEvent* event) override;

private slots:
    void Tick();
    void TreeItemClicked(QTreeWidgetItem* item, int column);
    void on_encodingComboBox_currentIndexChanged(int index);
    void on_hexCheckBox_stateChanged(int state);
    void on_createButton_clicked();
    void on_deleteButton_clicked();
    void on_startButton_clicked();
    void on_closeButton_clicked();
    void on_sendButton_clicked();
    void on_clearButton_clicked();
    void RecvTextScrollBarValueChanged(int value);
    void OnTCPServer_ClientConnected(QTreeWidgetItem* serverItem, TCPCLIENT client);
    void OnTCPServer_ClientDisconnected(QTreeWidgetItem* item, TCPCLIENT client);
    void OnTCPClient_ClientConnectResult(bool success, QTreeWidgetItem* item, TCPCLIENT client);
    void OnTCPClient_ClientDisconnected(QTreeWidgetItem* item);
    void OnKCPServer_ClientConnected(QTreeWidgetItem* serverItem, KCPCLIENT client);
    void OnKCPServer_ClientDisconnected(QTreeWidgetItem* item, KCPCLIENT client);
    void OnKCPClient_ClientConnectResult(bool success, QTreeWidgetItem* item, KCPCLIENT client);
    void OnKCPClient_ClientDisconnected(QTreeWidgetItem* item);
    void OnReceived(QTreeWidgetItem* item, QByteArray buffer);
    void OnResetReceived(QTreeWidgetItem* item);
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct SessionKind;
    static const SessionKind* KindOfRoot(int root);

    int GetCurrentRootType() const;
    int RootTypeOf(const QTreeWidgetItem* item) const;
    static SessionItem* SessionOf(QTreeWidgetItem* item);

    // Creating, starting and closing, per kind (the table in KindOfRoot).
    SessionItem* CreateTCPServer(QTreeWidgetItem* root, bool* success, QString* error);
    SessionItem* CreateTCPClient(QTreeWidgetItem* root, bool* success, QString* error);
    SessionItem* CreateKCPServer(QTreeWidgetItem* root, bool* success, QString* error);
    SessionItem* CreateKCPClient(QTreeWidgetItem* root, bool* success, QString* error);
    SessionItem* CreateCOM(QTreeWidgetItem* root, bool* success, QString* error);
    bool StartCOM(SessionItem* session, QString* error);
    SessionItem* CreateUDP(QTreeWidgetItem* root, bool* success, QString* error);
    bool StartUDP(SessionItem* session, QString* error);
    bool StartServer(SessionItem* session, QString* error);
    bool StartClient(SessionItem* session, QString* error);
    void PlaceSession(SessionItem* session, QTreeWidgetItem* parent, const QString& first, int second);
    SessionItem* PlaceServer(SessionItemServer* server, QTreeWidgetItem* root, const QString& ip, int port,
                             bool* success, QString* error);
    SessionItem* PlaceClient(SessionItemClient* client, QTreeWidgetItem* root, const QString& ip, int port);
    void ConnectTCPClient(SessionItemTCPClient* session);
    void ConnectKCPClient(SessionItemKCPClient* session);
    void ConnectView(SessionItem* session);
    void CloseSession(SessionItem* session);
    void AddAcceptedChild(QTreeWidgetItem* serverItem, SessionItemClient* child);
    void DropAcceptedChild(QTreeWidgetItem* item);
    void RefreshClientItem(QTreeWidgetItem* item);
    void ShowError(const QString& text);

    // Receive view and send box.
    void DrawSession(QTreeWidgetItem* item, SessionItem* session);
    void RebuildReceiveView(SessionItem* session);
    void SetSendBoxText(const QString& text);
    void AppendToView(const QString& text);
    void FlushView();
    void ScrollToBottom();
    void SelectItem(QTreeWidgetItem* item);
    void ShowStatePanel();
    void HideStatePanel();
    void SetGridLabelsVisible(bool visible);
    void UpdateStatistics();
    void RecallHistory(bool previous);
    void AppendModbusCrc();

    Ui::maroventClass* ui;
    QMap<int, QTreeWidgetItem*> typeRoots_;
    QTreeWidgetItem* currentItem_ = nullptr;
    QList<SessionItem*> sessions_;
    QTimer* timer_ = nullptr;
    bool autoScroll_ = true;
    qint64 lastStatisticsTime_ = 0;
    // Lines that arrive during a tick are shown in one insert at its end:
    // laying out many inserts one by one costs far more than one joined insert.
    bool inTick_ = false;
    QString pendingView_;
};

#endif
