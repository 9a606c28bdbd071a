// The base of every session shown in the tree: received lines, counters and
// rate, send history, pending send text and hex flag. Subclasses own a
// transport or serial object and feed received bytes through ReceiveBytes.
#ifndef MAROVENT_SESSIONITEM_H
#define MAROVENT_SESSIONITEM_H

#include <QByteArray>
#include <QIcon>
#include <QList>
#include <QObject>
#include <QString>

#include "SessionLine.h"

class QTreeWidgetItem;

enum SessionType {
    TYPE_TCP_SERVER = 240,
    TYPE_TCP_SERVER_CLIENT = 241,
    TYPE_TCP_CLIENT = 242,
    TYPE_UDP = 243,
    TYPE_SERIAL_PORT = 244,
    TYPE_KCP_SERVER = 245,
    TYPE_KCP_SERVER_CLIENT = 246,
    TYPE_KCP_CLIENT = 247,
};

class SessionItem : public QObject {
    Q_OBJECT
public:
    static const int kMaxReceivedLines = 500;
    static const int kTrimReceivedLines = 250;
    static const int kMaxSendHistory = 20;
    // Payload bytes one received line keeps; the line says how many arrived
    // and the counters count them all. With 500 lines a session keeps at most
    // 2 MB of received bytes.
    static const int kMaxLinePayload = 4096;

    explicit SessionItem(const QString& kind);

    virtual int GetType() = 0;
    virtual void Update();
    virtual void Close();
    virtual bool Send(const QByteArray& data);
    // Starts again with the stored settings (the window's start button);
    // false when it failed, with GetLastError saying why.
    virtual bool Restart();
    // Why the last start or send failed, for the window; empty after a successful start.
    QString GetLastError() const { return lastError_; }

    QString GetKind() const { return kind_; }
    QTreeWidgetItem* GetParentItem() const { return parentItem_; }
    void SetParentItem(QTreeWidgetItem* item) { parentItem_ = item; }
    QTreeWidgetItem* GetTreeItem() const { return treeItem_; }
    void SetTreeItem(QTreeWidgetItem* item) { treeItem_ = item; }

    // The session a tree item shows (column 0, first user role), or null for
    // a category root or a null item; and storing it there.
    static SessionItem* FromTreeItem(QTreeWidgetItem* item);
    static void StoreInTreeItem(QTreeWidgetItem* item, SessionItem* session);

    void AddRecvCount(int n);
    qint64 GetRecvTotal() const { return recvTotal_; }
    qint64 GetRecvRate() const { return recvRate_; }

    // What a streamed file may hand to Send: the largest piece one call
    // takes, the bytes sent but not yet gone out, and how many may wait so
    // (for a kind without a queue, what one tick may send). 0: takes no file.
    virtual int FileChunkBytes() const { return 0; }
    virtual qint64 QueuedBytes() const { return 0; }
    virtual qint64 SendWindowBytes() const { return 0; }
    // Whether a pause between a file's pieces makes sense (no flow control).
    virtual bool PacesFileChunks() const { return false; }

    // Datagrams the system dropped before this session could read them; -1
    // where nothing counts them.
    virtual qint64 GetDroppedCount() const { return -1; }

    // A received chunk as a line: its start, its size, the time, and the hex
    // flag and encoding in force now.
    SessionLine RecvLine(const char* data, int size) const;
    void AppendRecvLine(const SessionLine& line);
    // Logs what the user sent as typed, and why it failed when it did.
    void LogSent(const QString& text, bool sent);
    void ClearReceived();
    const QList<SessionLine>& GetReceivedLines() const { return receivedLines_; }

    void AddSendHistory(const QByteArray& payload);
    QList<QByteArray>& GetSendHistory(int* index = nullptr);
    void HistoryPrev();
    void HistoryNext();

    void SetSendText(const QString& text) { sendText_ = text; }
    QString GetSendText() const { return sendText_; }
    void SetHexMode(bool hex) { hexMode_ = hex; }
    bool IsHexMode() const { return hexMode_; }

signals:
    void OnReceived(QTreeWidgetItem* item, const SessionLine& line);
    // The oldest count lines were dropped to keep the list bounded.
    void OnTrimmedReceived(QTreeWidgetItem* item, int count);
    void OnResetReceived(QTreeWidgetItem* item);
    // The session changed state by itself (not through a call of the window).
    void OnStateChanged(QTreeWidgetItem* item);

protected:
    // The one receive path of every kind: count, keep the start, append.
    void ReceiveBytes(const char* data, int size);
    void ReceiveBytes(const QByteArray& data) { ReceiveBytes(data.constData(), data.size()); }
    // The loop clock the rate window runs on (net_poll); replaceable so the
    // window boundaries can be driven exactly.
    virtual quint64 ClockNow() const;
    // Keeps text as the last error and returns false, so a failing start is one line.
    bool Fail(const QString& text);
    void ClearError() { lastError_.clear(); }

private:
    QString kind_;
    QTreeWidgetItem* parentItem_ = nullptr;
    QTreeWidgetItem* treeItem_ = nullptr;
    QList<SessionLine> receivedLines_;
    QList<QByteArray> sendHistory_;
    int historyIndex_ = 0;
    QString sendText_;
    bool hexMode_ = false;
    QString lastError_;
    qint64 recvTotal_ = 0;
    qint64 recvRate_ = 0;
    qint32 recvCurrent_ = 0;
    quint64 rateWindowStart_ = 0;
};

// Process-wide tree icons, created on first use.
const QIcon& IconNetRun();
const QIcon& IconNetStop();
const QIcon& IconNetConnect();
const QIcon& IconServerRun();
const QIcon& IconServerStop();
const QIcon& IconSerialRun();
const QIcon& IconSerialStop();

#endif
