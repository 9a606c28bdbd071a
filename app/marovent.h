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

class marovent : public QWidget {
    Q_OBJECT
public:
    explicit marovent(QWidget* parent = nullptr);
    ~marovent() override;

    // Formats a byte count or rate for the statistics line (b, Kb, Mb; decimal units).
    static QString FormatBytes(qint64 value, bool rate);

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
    int GetCurrentRootType() const;
    static SessionItem* SessionOf(QTreeWidgetItem* item);
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
};

#endif
