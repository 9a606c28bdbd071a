// The main window: session tree, state panel, receive and send views, and the
// 10 ms tick that runs every session's transport on the GUI thread (and, when
// data arrives between ticks, an early run). What differs per session kind
// lives in the kinds table (SessionKinds.h).
#ifndef MAROVENT_MAROVENT_H
#define MAROVENT_MAROVENT_H

#include <QList>
#include <QMap>
#include <QPointer>
#include <QWidget>

#include "transport.h"

namespace Ui {
class maroventClass;
}
class FileSender;
class QMenu;
class QPoint;
class QSocketNotifier;
class QTreeWidgetItem;
class QTimer;
class RepeatSend;
class SessionItem;
class SessionItemClient;
class SessionItemServer;
class SessionLine;

class marovent : public QWidget {
    Q_OBJECT
public:
    explicit marovent(QWidget* parent = nullptr);
    ~marovent() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private slots:
    void Tick();
    void WakeOnData();
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
    void OnReceived(QTreeWidgetItem* item, const SessionLine& line);
    void OnTrimmedReceived(QTreeWidgetItem* item, int count);
    void OnResetReceived(QTreeWidgetItem* item);
    void OnSessionStateChanged(QTreeWidgetItem* item);
    void ShowSessionMenu(const QPoint& at);
    // ---- capture slots
    void OnCaptureChanged(QTreeWidgetItem* item);
    void on_msCheckBox_toggled(bool on);

    // ---- repeated and file send slots
    void on_repeatButton_clicked();
    void OnRepeatStopped(SessionItem* session);

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The kinds table wires and places the sessions it creates.
    friend class KindRows;

    int GetCurrentRootType() const;
    int RootTypeOf(const QTreeWidgetItem* item) const;
    static SessionItem* SessionOf(QTreeWidgetItem* item);
    static SessionItemServer* ServerOf(QTreeWidgetItem* item);

    // Session lifecycle.
    void PlaceSession(SessionItem* session, QTreeWidgetItem* parent, const QString& first, int second);
    void Wire(SessionItem* session);
    void CloseSession(SessionItem* session);
    template <class Server, class Handle>
    void AcceptChild(QTreeWidgetItem* serverItem, Handle client);
    void AddAcceptedChild(QTreeWidgetItem* serverItem, SessionItemClient* child);
    void DropAcceptedChild(QTreeWidgetItem* item);
    void RefreshClientItem(QTreeWidgetItem* item);
    void ShowError(const QString& text);

    // One round of every session's transport within the shared read budget.
    void RunSessions();
    // Sends bytes as the send button does (text is what the log shows); false
    // when the session was not ready or the transport refused them. For a kind
    // that takes data.
    bool SendToSession(SessionItem* session, const QByteArray& bytes, const QString& text);
    // What the send button would send to session now (the box's text and its
    // bytes); false when there is nothing to send or the kind takes no data.
    bool SendBoxPayload(SessionItem* session, QString* text, QByteArray* bytes) const;
    // The session takes data but cannot now (closed, disconnected).
    static bool NotReady(SessionItem* session);

    // The session menu: each part adds its actions for the session.
    void FillCaptureMenu(QMenu* menu, SessionItem* session);
    void FillSendMenu(QMenu* menu, SessionItem* session);
    // ---- capture helpers
    void StartCaptureFromMenu(SessionItem* session, bool binary);
    static QString CaptureFileName(SessionItem* session, bool binary);

    // ---- repeated and file send helpers
    static RepeatSend* RepeatOf(SessionItem* session);
    void StopRepeatIfNotReady(SessionItem* session);
    FileSender* FileSendOf(SessionItem* session) const;
    void StartRepeat(SessionItem* session);
    void ShowRepeatState();
    void ChooseFileToSend(SessionItem* session);
    bool StartFileSend(SessionItem* session, const QString& path, int delayMs);
    void PumpFileSends();
    QString SendProgressText(SessionItem* session) const;
    QList<QPointer<FileSender>> fileSends_;


    // State panel, send box and statistics.
    void SelectItem(QTreeWidgetItem* item);
    void DrawSession(QTreeWidgetItem* item, SessionItem* session);
    void ShowStatePanel();
    void HideStatePanel();
    void SetGridLabelsVisible(bool visible);
    void SetSendBoxText(const QString& text);
    void RecallHistory(bool previous);
    void AppendModbusCrc();
    void UpdateStatistics();

    Ui::maroventClass* ui;
    QMap<int, QTreeWidgetItem*> typeRoots_;
    QTreeWidgetItem* currentItem_ = nullptr;
    QList<SessionItem*> sessions_;
    QTimer* timer_ = nullptr;
    QSocketNotifier* wake_ = nullptr;  // some session's socket has data
    qint64 lastStatisticsTime_ = 0;
};

#endif
