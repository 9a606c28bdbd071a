#include "SessionItem.h"

#include <QDateTime>
#include <QTreeWidgetItem>
#include <QVariant>

#include "Encoding.h"
#include "transport.h"

SessionItem::SessionItem(const QString& kind) : QObject(nullptr), kind_(kind) {}

SessionItem::~SessionItem() = default;

SessionItem* SessionItem::FromTreeItem(QTreeWidgetItem* item) {
    if (item == nullptr)
        return nullptr;
    return static_cast<SessionItem*>(item->data(0, Qt::UserRole).value<void*>());
}

void SessionItem::StoreInTreeItem(QTreeWidgetItem* item, SessionItem* session) {
    item->setData(0, Qt::UserRole, QVariant::fromValue<void*>(session));
}

quint64 SessionItem::ClockNow() const {
    return net_poll();
}

void SessionItem::Update() {
    if (resolving_)
        resolver_->Run();
    const quint64 now = ClockNow();
    if (now - rateWindowStart_ <= 1000)
        return;
    rateWindowStart_ = ClockNow();
    recvRate_ = recvCurrent_;
    recvCurrent_ = 0;
}

void SessionItem::Close() {}

bool SessionItem::Send(const QByteArray&) {
    return false;
}

bool SessionItem::Restart() {
    return true;
}

bool SessionItem::Fail(const QString& text) {
    lastError_ = text;
    return false;
}

void SessionItem::FailLater(const QString& text) {
    Fail(text);
    AppendRecvLine(SessionLine("Error : " + text));
    emit OnStateChanged(treeItem_);
}

void SessionItem::LookUp(const QByteArray& host, const HostResolver::Done& done) {
    if (!resolver_)
        resolver_.reset(HostResolver::Create());
    resolving_ = true;
    resolver_->Start(host, [this, done](const QByteArray& ip, const QString& error) {
        resolving_ = false;
        done(ip, error);
    });
}

void SessionItem::CancelLookup() {
    resolving_ = false;
    if (resolver_)
        resolver_->Cancel();
}

void SessionItem::AddRecvCount(int n) {
    recvCurrent_ += n;
    recvTotal_ += n;
}

SessionLine SessionItem::RecvLine(const char* data, int size) const {
    const QByteArray kept(data, size < kMaxLinePayload ? size : kMaxLinePayload);
    return SessionLine(QDateTime::currentMSecsSinceEpoch(), kept, size, hexMode_, CurrentEncoding);
}

void SessionItem::AppendRecvLine(const SessionLine& line) {
    receivedLines_.append(line);
    emit OnReceived(treeItem_, line);
    if (receivedLines_.size() > kMaxReceivedLines) {
        receivedLines_.erase(receivedLines_.begin(), receivedLines_.begin() + kTrimReceivedLines);
        emit OnTrimmedReceived(treeItem_, kTrimReceivedLines);
    }
}

void SessionItem::ClearReceived() {
    receivedLines_.clear();
    recvTotal_ = 0;
    recvRate_ = 0;
    recvCurrent_ = 0;
    emit OnResetReceived(treeItem_);
}

void SessionItem::ReceiveBytes(const char* data, int size) {
    // An empty chunk (a zero-length frame, say) is nothing to show.
    if (size <= 0)
        return;
    AddRecvCount(size);
    AppendRecvLine(RecvLine(data, size));
}

void SessionItem::LogSent(const QString& text, bool sent) {
    AppendRecvLine(SessionLine::Sent(QDateTime::currentMSecsSinceEpoch(), text));
    // The transport refused bytes on a ready session: say why under the sent line.
    if (!sent)
        AppendRecvLine(SessionLine("Error : send failed: " + GetLastError()));
}

void SessionItem::AddSendHistory(const QByteArray& payload) {
    if (!payload.isEmpty() && !sendHistory_.isEmpty() && sendHistory_.last() == payload)
        return;
    sendHistory_.append(payload);
    while (sendHistory_.size() > kMaxSendHistory)
        sendHistory_.removeFirst();
    historyIndex_ = sendHistory_.size() - 1;
}

QList<QByteArray>& SessionItem::GetSendHistory(int* index) {
    if (index != nullptr)
        *index = historyIndex_;
    return sendHistory_;
}

void SessionItem::HistoryPrev() {
    if (historyIndex_ > 0)
        --historyIndex_;
}

void SessionItem::HistoryNext() {
    ++historyIndex_;
    if (historyIndex_ >= sendHistory_.size())
        historyIndex_ = sendHistory_.size() - 1;
    if (historyIndex_ < 0)
        historyIndex_ = 0;
}

// The resources live in a static library; nothing references them, so the
// linker would drop their registration unless it is called explicitly.
static void RegisterResources() {
    static bool done = false;
    if (!done) {
        Q_INIT_RESOURCE(marovent);
        done = true;
    }
}

static const QIcon& ResourceIcon(QIcon*& icon, const char* name) {
    RegisterResources();
    if (icon == nullptr)
        icon = new QIcon(QString(":/marovent/resources/") + name);
    return *icon;
}

#define SESSION_ICON(function, file)          \
    const QIcon& function() {                 \
        static QIcon* icon = nullptr;         \
        return ResourceIcon(icon, file);      \
    }

SESSION_ICON(IconNetRun, "net_run.png")
SESSION_ICON(IconNetStop, "net_stop.png")
SESSION_ICON(IconNetConnect, "net_connect.png")
SESSION_ICON(IconServerRun, "server_run.png")
SESSION_ICON(IconServerStop, "server_stop.png")
SESSION_ICON(IconSerialRun, "serialport_run.png")
SESSION_ICON(IconSerialStop, "serialport_stop.png")
