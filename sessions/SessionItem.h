// The base of every session shown in the tree: received lines, counters and
// rate, send history, pending send text and hex flag. Subclasses own a
// transport or serial object and feed received bytes through ReceiveBytes.
#ifndef MAROVENT_SESSIONITEM_H
#define MAROVENT_SESSIONITEM_H

#include <QByteArray>
#include <QIcon>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

#include "HostResolver.h"
#include "SessionLine.h"

class SessionCapture;

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
    ~SessionItem() override;

    virtual int GetType() = 0;
    virtual void Update();
    virtual void Close();
    virtual bool Send(const QByteArray& data);
    // Starts again with the stored settings (the window's start button);
    // false when it failed, with GetLastError saying why.
    virtual bool Restart();
    // Why the last start or send failed, for the window; empty after a successful start.
    QString GetLastError() const { return lastError_; }
    // Started, and still looking up the host name the user typed.
    bool IsResolving() const { return resolving_; }

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

    // Capture to a file, from the arrival path: every received chunk whole,
    // sent and error lines, with milliseconds; binary keeps the received bytes
    // only. A running capture is stopped first. False, with GetLastError and
    // an "Error : capture ..." line saying why, when the file cannot be opened;
    // a failed write later stops it with such a line. Deleting the session
    // writes what waits.
    virtual bool StartCapture(const QString& path, bool binary);
    virtual void StopCapture();
    // byParent: started by the server for this accepted connection.
    bool OpenCapture(const QString& path, bool binary, bool byParent);
    bool IsCapturing() const { return capture_ != nullptr; }
    bool IsCaptureBinary() const;
    bool IsCaptureByParent() const { return capture_ != nullptr && captureByParent_; }
    QString CapturePath() const;
    // Lines also go to parent's text capture, tagged with tag (the peer address);
    // a null parent ends that.
    void SetCaptureParent(SessionItem* parent, const QString& tag);

signals:
    void OnReceived(QTreeWidgetItem* item, const SessionLine& line);
    // The oldest count lines were dropped to keep the list bounded.
    void OnTrimmedReceived(QTreeWidgetItem* item, int count);
    void OnResetReceived(QTreeWidgetItem* item);
    // The session changed state by itself (not through a call of the window).
    void OnStateChanged(QTreeWidgetItem* item);
    // A capture started or stopped (by the user, or by a failed write).
    void OnCaptureChanged(QTreeWidgetItem* item);

protected:
    // The one receive path of every kind: count, keep the start, append.
    void ReceiveBytes(const char* data, int size);
    void ReceiveBytes(const QByteArray& data) { ReceiveBytes(data.constData(), data.size()); }
    // The loop clock the rate window runs on (net_poll); replaceable so the
    // window boundaries can be driven exactly.
    virtual quint64 ClockNow() const;
    // Keeps text as the last error and returns false, so a failing start is one line.
    bool Fail(const QString& text);
    // A start that fails after it returned (a host name that did not resolve):
    // kept as the last error, shown as an error line, and the window told.
    void FailLater(const QString& text);
    // Looks host up through the replaceable resolver; done comes from a later
    // Update (this class's), never after CancelLookup or deletion.
    void LookUp(const QByteArray& host, const HostResolver::Done& done);
    void CancelLookup();
    void ClearError() { lastError_.clear(); }
    // A capture write failed: stop it and say so.
    virtual void CaptureFailed(const QString& error);

private:
    void CaptureLine(const SessionLine& line);
    void CaptureReceived(qint64 atMs, const char* data, int size);
    // Text of line with tag inside its time bracket ("[t <= tag] ...").
    static QString Tagged(const QString& text, const QString& tag);

    QString kind_;
    QTreeWidgetItem* parentItem_ = nullptr;
    QTreeWidgetItem* treeItem_ = nullptr;
    QList<SessionLine> receivedLines_;
    QList<QByteArray> sendHistory_;
    int historyIndex_ = 0;
    QString sendText_;
    bool hexMode_ = false;
    QString lastError_;
    std::unique_ptr<HostResolver> resolver_;  // made for the first host name
    bool resolving_ = false;
    qint64 recvTotal_ = 0;
    qint64 recvRate_ = 0;
    qint32 recvCurrent_ = 0;
    quint64 rateWindowStart_ = 0;
    std::unique_ptr<SessionCapture> capture_;
    bool captureByParent_ = false;
    QPointer<SessionItem> captureParent_;
    QString captureTag_;
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
