#include "SessionItem.h"

#include <QDateTime>
#include <QTreeWidgetItem>
#include <QVariant>

#include "Encoding.h"
#include "SessionCapture.h"
#include "transport.h"

SessionItem::SessionItem(const QString& kind) : QObject(nullptr), kind_(kind) {}

// The capture's own destructor writes what waits.
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
    if (capture_ != nullptr && !capture_->Tick(now))
        CaptureFailed(capture_->Error());
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
    // A received line keeps only the chunk's start: ReceiveBytes captures the whole chunk.
    if (!line.IsReceived())
        CaptureLine(line);
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
    const SessionLine line = RecvLine(data, size);
    AppendRecvLine(line);
    CaptureReceived(line.TimeMs(), data, size);
}

/* ---- Capture ---- */

bool SessionItem::StartCapture(const QString& path, bool binary) {
    return OpenCapture(path, binary, false);
}

bool SessionItem::OpenCapture(const QString& path, bool binary, bool byParent) {
    StopCapture();
    auto capture = std::make_unique<SessionCapture>();
    if (!capture->Open(path, binary, ClockNow())) {
        AppendRecvLine(SessionLine("Error : capture " + capture->Error()));
        return Fail(capture->Error());
    }
    capture_ = std::move(capture);
    captureByParent_ = byParent;
    emit OnCaptureChanged(treeItem_);
    return true;
}

void SessionItem::StopCapture() {
    if (capture_ == nullptr)
        return;
    const std::unique_ptr<SessionCapture> capture = std::move(capture_);
    if (!capture->Close())
        AppendRecvLine(SessionLine("Error : capture " + capture->Error()));
    emit OnCaptureChanged(treeItem_);
}

void SessionItem::CaptureFailed(const QString& error) {
    capture_.reset();
    AppendRecvLine(SessionLine("Error : capture " + error));
    emit OnCaptureChanged(treeItem_);
}

bool SessionItem::IsCaptureBinary() const {
    return capture_ != nullptr && capture_->IsBinary();
}

QString SessionItem::CapturePath() const {
    return capture_ != nullptr ? capture_->Path() : QString();
}

void SessionItem::SetCaptureParent(SessionItem* parent, const QString& tag) {
    captureParent_ = parent;
    captureTag_ = tag;
}

QString SessionItem::Tagged(const QString& text, const QString& tag) {
    const int close = text.startsWith(QLatin1Char('[')) ? text.indexOf(QLatin1Char(']')) : -1;
    if (close < 0)
        return QString("[%1] %2").arg(tag, text);
    return text.left(close) + QLatin1Char(' ') + tag + text.mid(close);
}

void SessionItem::CaptureLine(const SessionLine& line) {
    SessionItem* parent = captureParent_.data();
    const bool own = capture_ != nullptr && !capture_->IsBinary();
    const bool up = parent != nullptr && parent->capture_ != nullptr && !parent->capture_->IsBinary();
    if (!own && !up)
        return;
    const QString text = line.Text(true);
    if (own && !capture_->AppendLine(text))
        CaptureFailed(capture_->Error());
    if (up && !parent->capture_->AppendLine(Tagged(text, captureTag_)))
        parent->CaptureFailed(parent->capture_->Error());
}

void SessionItem::CaptureReceived(qint64 atMs, const char* data, int size) {
    if (capture_ != nullptr && capture_->IsBinary() && !capture_->AppendBytes(data, size))
        CaptureFailed(capture_->Error());
    // The whole chunk, not the start a stored line keeps; no copy of it.
    CaptureLine(SessionLine(atMs, QByteArray::fromRawData(data, size), size, hexMode_, CurrentEncoding));
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
