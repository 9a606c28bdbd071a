#include "marovent.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QTextCursor>
#include <QTimer>

#include "ByteText.h"
#include "Encoding.h"
#include "FileSender.h"
#include "RepeatSend.h"
#include "SessionItemKCPServer.h"
#include "SessionItemTCPServer.h"
#include "SessionKinds.h"
#include "SettingsKeys.h"
#include "ui_marovent.h"

namespace {

const int kTickIntervalMs = 10;
// What one round of reads may take, shared by all sessions: 6 of the tick's
// 10 ms, so a flood still leaves time to format and lay out its lines and to
// answer the user.
const int kRunBudgetUs = 6000;
// After an early run the wake descriptor rests this long: under a flood it
// stays readable, and would otherwise keep the event loop from anything else.
const int kWakeRestMs = 1;

bool KcpEnabled() {
    return QCoreApplication::arguments().contains("-kcp", Qt::CaseSensitive);
}

}  // namespace

marovent::marovent(QWidget* parent) : QWidget(parent), ui(new Ui::maroventClass) {
    ui->setupUi(this);
    setWindowIcon(IconNetConnect());
    ui->sessionTypeTreeWidget->setHeaderHidden(true);
    connect(ui->sessionTypeTreeWidget, &QTreeWidget::itemClicked, this, &marovent::TreeItemClicked);
    ui->sessionTypeTreeWidget->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->sessionTypeTreeWidget, &QWidget::customContextMenuRequested, this, &marovent::ShowSessionMenu);

    const bool kcp = KcpEnabled();
    int count = 0;
    const SessionKind* kinds = AllSessionKinds(&count);
    for (int i = 0; i < count; ++i) {
        if (kinds[i].kcpOnly && !kcp)
            continue;
        auto* item = new QTreeWidgetItem(ui->sessionTypeTreeWidget, QStringList(kinds[i].rootText));
        typeRoots_.insert(kinds[i].type, item);
        item->setExpanded(true);
    }

    ui->createButton->setEnabled(false);
    ui->deleteButton->setEnabled(false);
    HideStatePanel();

    connect(ui->recvTextEdit->verticalScrollBar(), &QScrollBar::valueChanged, this,
            &marovent::RecvTextScrollBarValueChanged);

    timer_ = new QTimer(this);
    connect(timer_, &QTimer::timeout, this, &marovent::Tick);
    timer_->start(kTickIntervalMs);
    const int wakeFd = net_wake_fd();
    if (wakeFd >= 0) {
        wake_ = new QSocketNotifier(wakeFd, QSocketNotifier::Read, this);
        connect(wake_, &QSocketNotifier::activated, this, &marovent::WakeOnData);
    }

    int encoding = SettingInt(ENCODING);
    if (encoding >= ui->encodingComboBox->count())
        encoding = 0;
    ui->encodingComboBox->setCurrentIndex(encoding);
    CurrentEncoding = ui->encodingComboBox->currentIndex();
    ui->msCheckBox->setChecked(SettingInt(VIEW_MILLISECONDS) != 0);

    ui->sendTextEdit->installEventFilter(this);
    ui->sessionTypeTreeWidget->installEventFilter(this);
}

marovent::~marovent() {
    // Sessions are closed when the window closes; a window destroyed without
    // that still must not leave listening sockets and loops behind.
    timer_->stop();
    for (SessionItem* session : sessions_)
        session->Close();
    qDeleteAll(sessions_);
    sessions_.clear();
    delete ui;
}

void marovent::closeEvent(QCloseEvent* event) {
    SetSettingText(ENCODING, QString::number(ui->encodingComboBox->currentIndex()));
    for (SessionItem* session : sessions_) {
        session->StopCapture();
        session->Close();
    }
    event->accept();
}

bool marovent::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        if (watched == ui->sessionTypeTreeWidget)
            return true;
        if (watched == ui->sendTextEdit) {
            switch (static_cast<QKeyEvent*>(event)->key()) {
            case Qt::Key_Up:
                RecallHistory(true);
                return true;
            case Qt::Key_Down:
                RecallHistory(false);
                return true;
            case Qt::Key_F1:
                AppendModbusCrc();
                return true;
            case Qt::Key_F2:
            case Qt::Key_F3:
            case Qt::Key_F4:
                return true;
            default:
                break;
            }
        }
    }
    return QObject::eventFilter(watched, event);
}

/* ---- Tick and statistics ---- */

void marovent::Tick() {
    const qint64 now = (qint64)net_poll();
    if (now - lastStatisticsTime_ > 1000) {
        lastStatisticsTime_ = (qint64)net_poll();
        UpdateStatistics();
    }
    RunSessions();
    PumpFileSends();
    // Lines of this tick and of the early runs since the last go in together.
    ui->recvTextEdit->Flush();
}

// Data between ticks is read at once, so a slow link need not wait for the
// tick; its lines still wait for the tick's flush.
void marovent::WakeOnData() {
    wake_->setEnabled(false);
    RunSessions();
    QTimer::singleShot(kWakeRestMs, Qt::PreciseTimer, wake_, [this] { wake_->setEnabled(true); });
}

void marovent::RunSessions() {
    net_run_budget(kRunBudgetUs);
    for (SessionItem* session : sessions_)
        session->Update();
}

void marovent::UpdateStatistics() {
    if (currentItem_ == nullptr || currentItem_->parent() == nullptr)
        return;
    SessionItem* session = SessionOf(currentItem_);
    if (session == nullptr)
        return;
    QString text = QString("收：%0\t速率：%1")
                       .arg(FormatBytes(session->GetRecvTotal(), false), FormatBytes(session->GetRecvRate(), true));
    const qint64 dropped = session->GetDroppedCount();
    if (dropped >= 0)
        text += QString("\t丢包：%0").arg(dropped);
    text += SendProgressText(session);
    ui->infoLabel->setText(text);
}

/* ---- Tree and state panel ---- */

int marovent::GetCurrentRootType() const {
    return RootTypeOf(currentItem_);
}

int marovent::RootTypeOf(const QTreeWidgetItem* item) const {
    if (item == nullptr)
        return -1;
    for (auto it = typeRoots_.constBegin(); it != typeRoots_.constEnd(); ++it) {
        if (it.value() == item)
            return it.key();
    }
    return -1;
}

SessionItem* marovent::SessionOf(QTreeWidgetItem* item) {
    return SessionItem::FromTreeItem(item);
}

SessionItemServer* marovent::ServerOf(QTreeWidgetItem* item) {
    return qobject_cast<SessionItemServer*>(SessionOf(item));
}

void marovent::TreeItemClicked(QTreeWidgetItem* item, int) {
    if (item != nullptr)
        SelectItem(item);
}

void marovent::SelectItem(QTreeWidgetItem* item) {
    QTreeWidgetItem* old = currentItem_;
    if (old != item)
        ui->recvTextEdit->DropPending();  // lines of the item being left
    if (old != nullptr && old != item) {
        if (SessionItem* leaving = SessionOf(old)) {
            leaving->SetSendText(ui->sendTextEdit->toPlainText());
            leaving->SetHexMode(ui->hexCheckBox->isChecked());
        }
    }
    currentItem_ = item;
    ui->sessionTypeTreeWidget->clearSelection();
    item->setSelected(true);

    const int root = GetCurrentRootType();
    ui->createButton->setEnabled(root >= 0);
    ui->deleteButton->setEnabled(root < 0);
    if (root < 0) {
        DrawSession(item, SessionOf(item));
        if (old != item) {
            OnResetReceived(item);
            ui->recvTextEdit->Flush();  // a chosen session shows its lines at once
        }
    } else {
        HideStatePanel();
    }
    ShowRepeatState();
    UpdateStatistics();
}

void marovent::DrawSession(QTreeWidgetItem* item, SessionItem* session) {
    const SessionKind* kind = session != nullptr ? SessionKindOf(session->GetType()) : nullptr;
    if (kind == nullptr)
        return;
    PanelState state;
    kind->describe(session, &state);
    if (state.full) {
        ShowStatePanel();
    } else {
        HideStatePanel();
        ui->stateGroup->show();
        ui->spacer->show();
    }
    ui->startButton->setText(state.startText);
    ui->closeButton->setText(state.closeText);
    ui->startButton->setEnabled(state.startEnabled);
    ui->closeButton->setEnabled(state.closeEnabled);
    ui->stateLed->setStyleSheet(state.led);
    item->setIcon(0, *state.icon);
    if (!state.full)
        return;
    QLabel* const row[] = {ui->L11label, ui->L12label, ui->L13label, ui->L14label};
    for (int i = 0; i < 4; ++i)
        row[i]->setText(state.labels[i]);
    ui->L23label->setVisible(state.localRow);
    ui->L24label->setVisible(state.localRow);
    if (state.localRow) {
        ui->L23label->setText("本地Port：");
        ui->L24label->setText(state.localPort);
    }
    ui->hexCheckBox->setChecked(session->IsHexMode());
}

void marovent::SetGridLabelsVisible(bool visible) {
    for (QLabel* label : {ui->L11label, ui->L12label, ui->L13label, ui->L14label, ui->L21label,
                          ui->L22label, ui->L23label, ui->L24label})
        label->setVisible(visible);
}

void marovent::ShowStatePanel() {
    ui->stateGroup->show();
    ui->recvGroup->show();
    ui->sendGroup->show();
    ui->bottomGroup->show();
    SetGridLabelsVisible(true);
    ui->spacer->hide();
}

void marovent::HideStatePanel() {
    ui->stateGroup->hide();
    ui->recvGroup->hide();
    ui->sendGroup->hide();
    ui->bottomGroup->hide();
    SetGridLabelsVisible(false);
    ui->spacer->hide();
}

/* ---- Session lifecycle ---- */

void marovent::ShowError(const QString& text) {
    QMessageBox box(QMessageBox::Critical, "Error", text, QMessageBox::Close, this);
    box.setWindowFlags(box.windowFlags() | Qt::WindowStaysOnTopHint);
    box.exec();
}

void marovent::on_createButton_clicked() {
    QTreeWidgetItem* root = currentItem_;
    const SessionKind* kind = SessionKindOf(GetCurrentRootType());
    if (kind == nullptr)
        return;
    ui->sessionTypeTreeWidget->clearSelection();
    bool started = true;
    SessionItem* session = kind->create(this, root, &started);
    if (session == nullptr)
        return;
    sessions_.append(session);
    SelectItem(session->GetTreeItem());
    if (!started)
        ShowError(session->GetLastError());
}

void marovent::PlaceSession(SessionItem* session, QTreeWidgetItem* parent, const QString& first,
                            int second) {
    auto* item = new QTreeWidgetItem();
    session->SetParentItem(parent);
    session->SetTreeItem(item);
    item->setText(0, QString("%0:%1").arg(first).arg(second));
    parent->addChild(item);
    SessionItem::StoreInTreeItem(item, session);
}

// Servers show no lines themselves: their children do.
void marovent::Wire(SessionItem* session) {
    if (const SessionKind* kind = SessionKindOf(session->GetType()))
        kind->wire(this, session);
    connect(session, &SessionItem::OnStateChanged, this, &marovent::OnSessionStateChanged);
    connect(session, &SessionItem::OnCaptureChanged, this, &marovent::OnCaptureChanged);
    if (qobject_cast<SessionItemServer*>(session) != nullptr)
        return;
    connect(session, &SessionItem::OnReceived, this, &marovent::OnReceived);
    connect(session, &SessionItem::OnTrimmedReceived, this, &marovent::OnTrimmedReceived);
    connect(session, &SessionItem::OnResetReceived, this, &marovent::OnResetReceived);
}

void marovent::on_startButton_clicked() {
    SessionItem* session = SessionOf(currentItem_);
    if (session == nullptr)
        return;
    if (!session->Restart())
        ShowError(session->GetLastError());
    if (currentItem_ != nullptr)
        SelectItem(currentItem_);
}

// A server's connection is also handed back to its server, which drops its
// child through the same path as a connection the peer closed.
void marovent::CloseSession(SessionItem* session) {
    session->Close();
    StopRepeatIfNotReady(session);
    if (SessionItemServer* server = ServerOf(session->GetParentItem()))
        server->NotifyChildClosed(session);
}

void marovent::on_closeButton_clicked() {
    if (SessionItem* session = SessionOf(currentItem_))
        CloseSession(session);
    if (currentItem_ != nullptr)
        SelectItem(currentItem_);
}

void marovent::on_deleteButton_clicked() {
    QTreeWidgetItem* item = currentItem_;
    SessionItem* session = SessionOf(item);
    if (item == nullptr || GetCurrentRootType() >= 0 || session == nullptr)
        return;
    QTreeWidgetItem* parent = item->parent();
    parent->removeChild(item);
    session->Close();
    if (ServerOf(parent) != nullptr) {
        DropAcceptedChild(item);
        currentItem_ = parent;
        SelectItem(parent);
        return;
    }
    // Closing a server has already dropped its children through the disconnect slot.
    delete item;
    delete session;
    currentItem_ = nullptr;
    SelectItem(parent);
    sessions_.removeOne(session);
}

template <class Server, class Handle>
void marovent::AcceptChild(QTreeWidgetItem* serverItem, Handle client) {
    if (auto* server = qobject_cast<Server*>(SessionOf(serverItem)))
        AddAcceptedChild(serverItem, server->NewChild(client));
}

void marovent::AddAcceptedChild(QTreeWidgetItem* serverItem, SessionItemClient* child) {
    SessionItemServer* server = ServerOf(serverItem);
    Wire(child);
    PlaceSession(child, serverItem, child->GetPeerIP(), child->GetPeerPort());
    QTreeWidgetItem* item = child->GetTreeItem();
    item->setIcon(0, child->IsConnected() ? IconNetRun() : IconNetStop());
    if (!server->AddChild(child, item)) {
        delete item;
        delete child;
        return;
    }
    if (SessionOf(currentItem_) == server)
        SelectItem(item);
}

void marovent::DropAcceptedChild(QTreeWidgetItem* item) {
    SessionItem* child = SessionOf(item);
    if (child == nullptr)
        return;
    QTreeWidgetItem* serverItem = child->GetParentItem();
    if (SessionItemServer* server = ServerOf(serverItem))
        server->RemoveChild(child);
    if (currentItem_ != nullptr && currentItem_->parent() == serverItem) {
        currentItem_ = nullptr;
        SelectItem(serverItem);
    }
    delete item;
    delete child;
}

void marovent::RefreshClientItem(QTreeWidgetItem* item) {
    if (item == nullptr)
        return;
    StopRepeatIfNotReady(SessionOf(item));
    if (item == currentItem_) {
        SelectItem(item);
        return;
    }
    SessionItem* session = SessionOf(item);
    const SessionKind* kind = session != nullptr ? SessionKindOf(session->GetType()) : nullptr;
    if (kind == nullptr)
        return;
    PanelState state;
    kind->describe(session, &state);
    item->setIcon(0, *state.icon);
}

// The typed slots differ only in the handle type the signals carry.
void marovent::OnTCPServer_ClientConnected(QTreeWidgetItem* serverItem, TCPCLIENT client) {
    AcceptChild<SessionItemTCPServer>(serverItem, client);
}

void marovent::OnTCPServer_ClientDisconnected(QTreeWidgetItem* item, TCPCLIENT) {
    DropAcceptedChild(item);
}

void marovent::OnTCPClient_ClientConnectResult(bool, QTreeWidgetItem* item, TCPCLIENT) {
    RefreshClientItem(item);
}

void marovent::OnTCPClient_ClientDisconnected(QTreeWidgetItem* item) {
    RefreshClientItem(item);
}

void marovent::OnSessionStateChanged(QTreeWidgetItem* item) {
    RefreshClientItem(item);
}

void marovent::OnKCPServer_ClientConnected(QTreeWidgetItem* serverItem, KCPCLIENT client) {
    AcceptChild<SessionItemKCPServer>(serverItem, client);
}

void marovent::OnKCPServer_ClientDisconnected(QTreeWidgetItem* item, KCPCLIENT) {
    DropAcceptedChild(item);
}

void marovent::OnKCPClient_ClientConnectResult(bool, QTreeWidgetItem* item, KCPCLIENT) {
    RefreshClientItem(item);
}

void marovent::OnKCPClient_ClientDisconnected(QTreeWidgetItem* item) {
    RefreshClientItem(item);
}

/* ---- Send ---- */

void marovent::on_sendButton_clicked() {
    SessionItem* session = SessionOf(currentItem_);
    QString text;
    QByteArray bytes;
    if (!SendBoxPayload(session, &text, &bytes))
        return;
    SendToSession(session, bytes, text);
    session->AddSendHistory(TextToBytes(text));
    ui->recvTextEdit->Flush();  // what the user did shows at once
}

bool marovent::SendBoxPayload(SessionItem* session, QString* text, QByteArray* bytes) const {
    *text = ui->sendTextEdit->toPlainText();
    *bytes = ui->hexCheckBox->isChecked() ? ParseHexText(*text) : TextToBytes(*text);
    const SessionKind* kind = session != nullptr ? SessionKindOf(session->GetType()) : nullptr;
    // Servers take no data themselves.
    return !text->isEmpty() && !bytes->isEmpty() && kind != nullptr && kind->ready != nullptr;
}

bool marovent::NotReady(SessionItem* session) {
    const SessionKind* kind = session != nullptr ? SessionKindOf(session->GetType()) : nullptr;
    return kind != nullptr && kind->ready != nullptr && !kind->ready(session);
}

bool marovent::SendToSession(SessionItem* session, const QByteArray& bytes, const QString& text) {
    const SessionKind* kind = SessionKindOf(session->GetType());
    if (!kind->ready(session)) {
        session->AppendRecvLine(SessionLine(QString::fromUtf8(kind->notReady)));
        return false;
    }
    const bool sent = session->Send(bytes);
    session->LogSent(text, sent);
    return sent;
}

void marovent::SetSendBoxText(const QString& text) {
    ui->sendTextEdit->setPlainText(text);
    QTextCursor cursor = ui->sendTextEdit->textCursor();
    cursor.movePosition(QTextCursor::End);
    ui->sendTextEdit->setTextCursor(cursor);
}

void marovent::RecallHistory(bool previous) {
    SessionItem* session = SessionOf(currentItem_);
    if (session == nullptr)
        return;
    if (previous)
        session->HistoryPrev();
    else
        session->HistoryNext();
    int index = -1;
    const QList<QByteArray>& history = session->GetSendHistory(&index);
    if (index >= 0 && index < history.size())
        SetSendBoxText(BytesToText(history.at(index)));
}

void marovent::AppendModbusCrc() {
    if (!ui->hexCheckBox->isChecked())
        return;
    const QString text = WithModbusCrc(ui->sendTextEdit->toPlainText());
    if (!text.isNull())
        SetSendBoxText(text);
}

void marovent::on_hexCheckBox_stateChanged(int state) {
    if (SessionItem* session = SessionOf(currentItem_))
        session->SetHexMode(state == Qt::Checked);
}

void marovent::on_encodingComboBox_currentIndexChanged(int index) {
    CurrentEncoding = index;
}

void marovent::on_clearButton_clicked() {
    if (SessionItem* session = SessionOf(currentItem_))
        session->ClearReceived();
    ui->recvTextEdit->Flush();
}

/* ---- Session menu ---- */

void marovent::ShowSessionMenu(const QPoint& at) {
    QTreeWidgetItem* item = ui->sessionTypeTreeWidget->itemAt(at);
    SessionItem* session = SessionOf(item);
    if (session == nullptr)
        return;
    SelectItem(item);
    QMenu menu(this);
    FillCaptureMenu(&menu, session);
    FillSendMenu(&menu, session);
    if (!menu.isEmpty())
        menu.exec(ui->sessionTypeTreeWidget->viewport()->mapToGlobal(at));
}

/* ---- Capture ---- */

void marovent::FillCaptureMenu(QMenu* menu, SessionItem* session) {
    // The menu runs modally: the session outlives its actions.
    if (session->IsCapturing()) {
        menu->addAction("停止捕获", this, [session] { session->StopCapture(); });
        return;
    }
    menu->addAction("开始捕获…", this, [this, session] { StartCaptureFromMenu(session, false); });
    menu->addAction("开始二进制捕获…", this, [this, session] { StartCaptureFromMenu(session, true); });
}

void marovent::StartCaptureFromMenu(SessionItem* session, bool binary) {
    const QString folder = SettingText(CAPTURE_DIR).isEmpty() ? QDir::homePath() : SettingText(CAPTURE_DIR);
    const QString path = QFileDialog::getSaveFileName(this, binary ? "开始二进制捕获" : "开始捕获",
                                                      QDir(folder).filePath(CaptureFileName(session, binary)));
    if (path.isEmpty())
        return;
    SetSettingText(CAPTURE_DIR, QFileInfo(path).absolutePath());
    if (!session->StartCapture(path, binary))
        ShowError(session->GetLastError());
}

// "tcp-client_127.0.0.1_5000_20261206-183000.txt": kind, address, start time.
QString marovent::CaptureFileName(SessionItem* session, bool binary) {
    static const QMap<int, QString> kinds = {
        {TYPE_TCP_SERVER, "tcp-server"}, {TYPE_TCP_SERVER_CLIENT, "tcp-server-client"},
        {TYPE_TCP_CLIENT, "tcp-client"}, {TYPE_UDP, "udp"}, {TYPE_SERIAL_PORT, "serial"},
        {TYPE_KCP_SERVER, "kcp-server"}, {TYPE_KCP_SERVER_CLIENT, "kcp-server-client"},
        {TYPE_KCP_CLIENT, "kcp-client"}};
    QString address = session->GetTreeItem() != nullptr ? session->GetTreeItem()->text(0) : QString();
    // A serial device's path has slashes: keep names to one safe word.
    address.replace(QRegularExpression("[^A-Za-z0-9.-]+"), "_");
    while (address.startsWith('_'))
        address.remove(0, 1);
    return QString("%1_%2_%3.%4")
        .arg(kinds.value(session->GetType(), "session"), address,
             QDateTime::currentDateTime().toString("yyyyMMdd-hhmmss"), binary ? "bin" : "txt");
}

// A capturing session's item is bold and names its file.
void marovent::OnCaptureChanged(QTreeWidgetItem* item) {
    SessionItem* session = SessionOf(item);
    if (session == nullptr)
        return;
    QFont font = item->font(0);
    font.setBold(session->IsCapturing());
    item->setFont(0, font);
    item->setToolTip(0, session->IsCapturing() ? "捕获到 " + session->CapturePath() : QString());
}

void marovent::on_msCheckBox_toggled(bool on) {
    SetSettingText(VIEW_MILLISECONDS, on ? "1" : "0");
    ui->recvTextEdit->SetMilliseconds(on);
    if (SessionItem* session = SessionOf(currentItem_))
        ui->recvTextEdit->Rebuild(session->GetReceivedLines());
    ui->recvTextEdit->Flush();
}

/* ---- Repeated and file sends ---- */

void marovent::FillSendMenu(QMenu* menu, SessionItem* session) {
    // The menu runs its own loop: a tick may drop the session meanwhile.
    QPointer<SessionItem> guarded(session);
    if (RepeatSend* repeat = RepeatOf(session))
        menu->addAction("停止定时发送", repeat, &RepeatSend::Stop);
    if (session->FileChunkBytes() <= 0)
        return;
    if (FileSender* file = FileSendOf(session))
        menu->addAction("取消发送文件", file, [file] { file->Stop("已取消"); });
    else
        menu->addAction("发送文件…", this, [this, guarded] { ChooseFileToSend(guarded); });
}

RepeatSend* marovent::RepeatOf(SessionItem* session) {
    auto* repeat = session != nullptr ? session->findChild<RepeatSend*>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
    return repeat != nullptr && repeat->IsRunning() ? repeat : nullptr;
}

FileSender* marovent::FileSendOf(SessionItem* session) const {
    for (FileSender* file : fileSends_) {
        if (file != nullptr && file->Session() == session && !file->IsDone())
            return file;
    }
    return nullptr;
}

void marovent::on_repeatButton_clicked() {
    SessionItem* session = SessionOf(currentItem_);
    if (RepeatSend* repeat = RepeatOf(session))
        repeat->Stop();
    else if (session != nullptr)
        StartRepeat(session);
}

// What the send button would send now, again and again; the history keeps it once.
void marovent::StartRepeat(SessionItem* session) {
    QString text;
    QByteArray bytes;
    if (!SendBoxPayload(session, &text, &bytes))
        return;
    session->AddSendHistory(TextToBytes(text));
    auto* repeat = new RepeatSend(
        session, [this, session, bytes, text] { return SendToSession(session, bytes, text); },
        ui->periodSpinBox->value(), ui->countSpinBox->value());
    connect(repeat, &RepeatSend::Stopped, this, &marovent::OnRepeatStopped);
    ShowRepeatState();
}

void marovent::OnRepeatStopped(SessionItem* session) {
    if (auto* repeat = qobject_cast<RepeatSend*>(sender()))
        repeat->deleteLater();
    if (session != nullptr && session == SessionOf(currentItem_))
        ShowRepeatState();
}

// A repeat ends with its session's connection, not at its next send.
void marovent::StopRepeatIfNotReady(SessionItem* session) {
    RepeatSend* repeat = RepeatOf(session);
    if (repeat != nullptr && NotReady(session))
        repeat->Stop();
}

void marovent::ShowRepeatState() {
    ui->repeatButton->setText(RepeatOf(SessionOf(currentItem_)) != nullptr ? "停止发送" : "定时发送");
}

void marovent::ChooseFileToSend(SessionItem* session) {
    QPointer<SessionItem> guarded(session);
    const QString path = QFileDialog::getOpenFileName(this, "发送文件");
    if (path.isEmpty() || guarded == nullptr)
        return;
    int delayMs = 0;
    if (session->PacesFileChunks()) {
        bool ok = false;
        delayMs = QInputDialog::getInt(this, "发送文件", "块间延时(ms)：", SettingInt(FILE_SEND_DELAY), 0,
                                       60000, 1, &ok);
        if (!ok || guarded == nullptr)
            return;
        SetSettingInt(FILE_SEND_DELAY, delayMs);
    }
    StartFileSend(session, path, delayMs);
}

bool marovent::StartFileSend(SessionItem* session, const QString& path, int delayMs) {
    if (FileSendOf(session) != nullptr || session->FileChunkBytes() <= 0)
        return false;
    auto* file = new FileSender(session, delayMs);
    if (!file->Open(path)) {
        session->AppendRecvLine(SessionLine("Error : 发送文件失败：" + file->Error()));
        delete file;
        return false;
    }
    session->AppendRecvLine(
        SessionLine(QString("发送文件：%0，%1 字节").arg(QFileInfo(path).fileName()).arg(file->Total())));
    fileSends_.append(file);
    UpdateStatistics();
    return true;
}

// Each tick tops every file's session up to what it can take; a session
// that is no longer ready ends its file.
void marovent::PumpFileSends() {
    const qint64 now = (qint64)net_poll();
    for (int i = 0; i < fileSends_.size();) {
        FileSender* file = fileSends_[i];
        if (file != nullptr && !file->IsDone()) {
            SessionItem* session = file->Session();
            if (NotReady(session))
                file->Stop(QString::fromUtf8(SessionKindOf(session->GetType())->notReady).remove("Error : "));
            else
                file->Pump(now);
        }
        if (file != nullptr && !file->IsDone()) {
            ++i;
            continue;
        }
        fileSends_.removeAt(i);
        delete file;
    }
}

QString marovent::SendProgressText(SessionItem* session) const {
    const FileSender* file = FileSendOf(session);
    return file != nullptr ? QString("\t发送文件 %0%").arg(file->Percent()) : QString();
}

/* ---- Receive view ---- */

void marovent::OnReceived(QTreeWidgetItem* item, const SessionLine& line) {
    if (item != nullptr && item == currentItem_)
        ui->recvTextEdit->AppendLine(line);
}

void marovent::OnTrimmedReceived(QTreeWidgetItem* item, int count) {
    if (item != nullptr && item == currentItem_)
        ui->recvTextEdit->DropFirst(count);
}

void marovent::OnResetReceived(QTreeWidgetItem* item) {
    SessionItem* session = SessionOf(item);
    if (item == nullptr || item != currentItem_ || session == nullptr)
        return;
    ui->recvTextEdit->Rebuild(session->GetReceivedLines());
    SetSendBoxText(session->GetSendText());
}

void marovent::RecvTextScrollBarValueChanged(int value) {
    ui->recvTextEdit->ScrollBarMoved(value);
}
