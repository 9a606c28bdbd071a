#include "marovent.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QKeyEvent>
#include <QMessageBox>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>

#include "Encoding.h"
#include "OpenPanelCOM.h"
#include "OpenPanelKCPClient.h"
#include "OpenPanelKCPServer.h"
#include "OpenPanelTCPClient.h"
#include "OpenPanelTCPServer.h"
#include "OpenPanelUDPClient.h"
#include "SessionItem.h"
#include "SessionItemCOM.h"
#include "SessionItemKCPClient.h"
#include "SessionItemKCPServer.h"
#include "SessionItemServer.h"
#include "SessionItemTCPClient.h"
#include "SessionItemTCPServer.h"
#include "SessionItemUDPClient.h"
#include "SettingsKeys.h"
#include "ui_marovent.h"

namespace {

const int kTickIntervalMs = 10;
const int kConnectTimeoutMs = 5000;
const int kAutoScrollSlack = 10;
// Longest line the receive view lays out in full; the session keeps every line
// whole. Laying out a 64 KiB chunk shown as hex (192 K characters) costs tens
// of milliseconds per line and seconds per rebuild; this bound keeps a rebuild
// of 500 lines near a tenth of a second.
const int kViewLineChars = 16384;

const char* const kLedOn = "background-color: #00FF00";
const char* const kLedOff = "background-color: #CDCDCD";
const char* const kLedConnecting = "background-color: #FFFF00";

struct RootEntry {
    const char* text;
    int type;
    bool kcpOnly;
};

const RootEntry kRoots[] = {
    {"TCP Server", TYPE_TCP_SERVER, false},
    {"TCP Client", TYPE_TCP_CLIENT, false},
    {"UDP", TYPE_UDP, false},
    {"SerialPort", TYPE_SERIAL_PORT, false},
    {"KCP Server", TYPE_KCP_SERVER, true},
    {"KCP Client", TYPE_KCP_CLIENT, true},
};

bool KcpEnabled() {
    return QCoreApplication::arguments().contains("-kcp", Qt::CaseSensitive);
}

}  // namespace

marovent::marovent(QWidget* parent) : QWidget(parent), ui(new Ui::maroventClass) {
    ui->setupUi(this);
    ui->recvTextEdit->setUndoRedoEnabled(false);
    setWindowIcon(IconNetConnect());
    ui->sessionTypeTreeWidget->setHeaderHidden(true);
    connect(ui->sessionTypeTreeWidget, &QTreeWidget::itemClicked, this, &marovent::TreeItemClicked);

    const bool kcp = KcpEnabled();
    for (const RootEntry& root : kRoots) {
        if (root.kcpOnly && !kcp)
            continue;
        auto* item = new QTreeWidgetItem(ui->sessionTypeTreeWidget, QStringList(root.text));
        typeRoots_.insert(root.type, item);
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

    int encoding = SettingInt(ENCODING);
    if (encoding >= ui->encodingComboBox->count())
        encoding = 0;
    ui->encodingComboBox->setCurrentIndex(encoding);
    CurrentEncoding = ui->encodingComboBox->currentIndex();

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
    for (SessionItem* session : sessions_)
        session->Close();
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
    inTick_ = true;
    for (SessionItem* session : sessions_)
        session->Update();
    inTick_ = false;
    FlushView();
}

QString marovent::FormatBytes(qint64 value, bool rate) {
    const char* suffix = rate ? "/s" : "";
    if (value <= 1000)
        return QString::number(value) + "b" + suffix;
    if (value <= 1000000)
        return QString::number(value / 1000.0, 'f', 2) + "Kb" + suffix;
    return QString::number(value / 1000000.0, 'f', 2) + "Mb" + suffix;
}

void marovent::UpdateStatistics() {
    if (currentItem_ == nullptr || currentItem_->parent() == nullptr)
        return;
    SessionItem* session = SessionOf(currentItem_);
    if (session == nullptr)
        return;
    ui->infoLabel->setText(QString("收：%0\t速率：%1")
                               .arg(FormatBytes(session->GetRecvTotal(), false),
                                    FormatBytes(session->GetRecvRate(), true)));
}

/* ---- Per-kind behaviour ---- */

// What a session kind's root does: its dialog and first action, and its start button.
// A null entry is a kind whose session has not joined the window yet.
struct marovent::SessionKind {
    int root;
    SessionItem* (marovent::*create)(QTreeWidgetItem* root, bool* success, QString* error);
    bool (marovent::*start)(SessionItem* session, QString* error);
};

const marovent::SessionKind* marovent::KindOfRoot(int root) {
    static const SessionKind kinds[] = {
        {TYPE_TCP_SERVER, &marovent::CreateTCPServer, &marovent::StartServer},
        {TYPE_TCP_CLIENT, &marovent::CreateTCPClient, &marovent::StartClient},
        {TYPE_UDP, &marovent::CreateUDP, &marovent::StartUDP},
        {TYPE_SERIAL_PORT, &marovent::CreateCOM, &marovent::StartCOM},
        {TYPE_KCP_SERVER, &marovent::CreateKCPServer, &marovent::StartServer},
        {TYPE_KCP_CLIENT, &marovent::CreateKCPClient, &marovent::StartClient},
    };
    for (const SessionKind& kind : kinds) {
        if (kind.root == root)
            return &kind;
    }
    return nullptr;
}

namespace {

// How the state panel and the tree show one session.
struct PanelState {
    bool full = true;  // receive view, send box and statistics shown as well
    const char* startText = "启用";
    const char* closeText = "关闭";
    bool startEnabled = false;
    bool closeEnabled = false;
    const char* led = kLedOff;
    const QIcon* icon = nullptr;
    QString labels[4];      // L11 to L14; none for a server
    bool localRow = false;  // L23 and L24 shown
    QString localPort;
};

void DescribeServer(SessionItemServer* server, PanelState* state) {
    const bool running = server->IsRunning();
    state->full = false;
    state->startEnabled = !running;
    state->closeEnabled = running;
    state->led = running ? kLedOn : kLedOff;
    state->icon = running ? &IconServerRun() : &IconServerStop();
}

void DescribeClient(SessionItemClient* client, PanelState* state) {
    const bool connecting = client->IsConnecting();
    const bool connected = client->IsConnected();
    state->startText = "连接";
    state->closeText = "断开";
    state->startEnabled = !connecting && !connected;
    state->closeEnabled = connecting || connected;
    state->led = connecting ? kLedConnecting : (connected ? kLedOn : kLedOff);
    state->icon = connecting ? &IconNetConnect() : (connected ? &IconNetRun() : &IconNetStop());
    state->labels[0] = "远程IP：";
    state->labels[1] = client->GetPeerIP();
    state->labels[2] = "远程Port：";
    state->labels[3] = QString("%0").arg(client->GetPeerPort());
    state->localRow = true;
    state->localPort = QString("%0").arg(client->GetLocalPort());
}

void DescribeCOM(SessionItemCOM* com, PanelState* state) {
    const bool open = com->IsOpen();
    state->startText = "打开";
    state->startEnabled = !open;
    state->closeEnabled = open;
    state->led = open ? kLedOn : kLedOff;
    state->icon = open ? &IconSerialRun() : &IconSerialStop();
    state->labels[0] = "串口：";
    state->labels[1] = QString::fromUtf8(com->GetPortName());
    state->labels[2] = "波特率：";
    state->labels[3] = QString("%0").arg(com->GetBaudRate());
}

void DescribeUDP(SessionItemUDPClient* udp, PanelState* state) {
    const bool open = udp->IsOpen();
    const bool multicast = udp->IsMulticast();
    state->startEnabled = !open;
    state->closeEnabled = open;
    state->led = open ? kLedOn : kLedOff;
    state->icon = open ? &IconNetRun() : &IconNetStop();
    state->labels[0] = multicast ? "组播IP：" : "远程IP：";
    state->labels[1] = udp->GetRemoteIp();
    state->labels[2] = multicast ? "组播Port：" : "远程Port：";
    state->labels[3] = QString("%0").arg(udp->GetRemotePort());
    // A group member's local port is the group's own.
    state->localRow = !multicast;
    state->localPort = QString("%0").arg(udp->GetLocalPort());
}

// The one place that tells session kinds apart for the panel and the icons.
bool DescribeSession(SessionItem* session, PanelState* state) {
    if (session == nullptr)
        return false;
    switch (session->GetType()) {
    case TYPE_TCP_SERVER:
    case TYPE_KCP_SERVER:
        if (auto* server = dynamic_cast<SessionItemServer*>(session)) {
            DescribeServer(server, state);
            return true;
        }
        return false;
    case TYPE_TCP_SERVER_CLIENT:
    case TYPE_TCP_CLIENT:
    case TYPE_KCP_SERVER_CLIENT:
    case TYPE_KCP_CLIENT:
        if (auto* client = dynamic_cast<SessionItemClient*>(session)) {
            DescribeClient(client, state);
            return true;
        }
        return false;
    case TYPE_SERIAL_PORT:
        if (auto* com = dynamic_cast<SessionItemCOM*>(session)) {
            DescribeCOM(com, state);
            return true;
        }
        return false;
    case TYPE_UDP:
        if (auto* udp = dynamic_cast<SessionItemUDPClient*>(session)) {
            DescribeUDP(udp, state);
            return true;
        }
        return false;
    default:
        return false;
    }
}

// Where a send goes: whether the kind takes data at all, and whether it is ready.
struct SendPath {
    bool ready = false;
    const char* notReady = "Error : client is disconnected";
};

bool SendPathOf(SessionItem* session, SendPath* path) {
    switch (session->GetType()) {
    case TYPE_TCP_SERVER_CLIENT:
    case TYPE_TCP_CLIENT:
    case TYPE_KCP_SERVER_CLIENT:
    case TYPE_KCP_CLIENT:
        if (auto* client = dynamic_cast<SessionItemClient*>(session)) {
            path->ready = client->IsConnected();
            return true;
        }
        return false;
    case TYPE_SERIAL_PORT:
        if (auto* com = dynamic_cast<SessionItemCOM*>(session)) {
            path->ready = com->IsOpen() && com->IsDeviceOpen();
            path->notReady = "Error : com is unavailable";
            return true;
        }
        return false;
    case TYPE_UDP:
        if (auto* udp = dynamic_cast<SessionItemUDPClient*>(session)) {
            path->ready = udp->IsOpen();
            return true;
        }
        return false;
    default:
        return false;  // servers take no data themselves
    }
}

}  // namespace

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

void marovent::TreeItemClicked(QTreeWidgetItem* item, int) {
    if (item != nullptr)
        SelectItem(item);
}

void marovent::SelectItem(QTreeWidgetItem* item) {
    QTreeWidgetItem* old = currentItem_;
    if (old != item)
        pendingView_.clear();  // lines of the item being left
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
        SessionItem* session = SessionOf(item);
        DrawSession(item, session);
        if (old != item)
            OnResetReceived(item);
    } else {
        HideStatePanel();
    }
    UpdateStatistics();
}

void marovent::DrawSession(QTreeWidgetItem* item, SessionItem* session) {
    PanelState state;
    if (!DescribeSession(session, &state))
        return;
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
    const SessionKind* kind = KindOfRoot(GetCurrentRootType());
    if (kind == nullptr)
        return;
    ui->sessionTypeTreeWidget->clearSelection();
    if (kind->create == nullptr)
        return;
    bool success = true;
    QString error;
    SessionItem* session = (this->*kind->create)(root, &success, &error);
    if (session == nullptr)
        return;
    sessions_.append(session);
    SelectItem(session->GetTreeItem());
    if (!success)
        ShowError(error);
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

void marovent::ConnectView(SessionItem* session) {
    connect(session, &SessionItem::OnReceived, this, &marovent::OnReceived);
    connect(session, &SessionItem::OnResetReceived, this, &marovent::OnResetReceived);
}

void marovent::ConnectTCPClient(SessionItemTCPClient* session) {
    connect(session, &SessionItemTCPClient::OnClientConnectResultSignal, this,
            &marovent::OnTCPClient_ClientConnectResult);
    connect(session, &SessionItemTCPClient::OnClientDisconnectedSignal, this,
            &marovent::OnTCPClient_ClientDisconnected);
    ConnectView(session);
}

SessionItem* marovent::CreateTCPServer(QTreeWidgetItem* root, bool* success, QString* error) {
    OpenPanelTCPServer dialog(this);
    if (dialog.exec() != QDialog::Accepted)
        return nullptr;
    const QString ip = dialog.GetIP();
    const int port = dialog.GetPort();
    auto* server = new SessionItemTCPServer("TCPServer");
    connect(server, &SessionItemTCPServer::OnClientConnectedSignal, this,
            &marovent::OnTCPServer_ClientConnected);
    connect(server, &SessionItemTCPServer::OnClientDisconnectedSignal, this,
            &marovent::OnTCPServer_ClientDisconnected);
    return PlaceServer(server, root, ip, port, success, error);
}

// Servers listen as soon as they are created; the tree shows their children.
SessionItem* marovent::PlaceServer(SessionItemServer* server, QTreeWidgetItem* root, const QString& ip,
                                   int port, bool* success, QString* error) {
    PlaceSession(server, root, ip, port);
    *success = server->Start(ip.toUtf8(), (unsigned)port);
    *error = QString::fromUtf8(net_last_error());
    server->GetTreeItem()->setExpanded(true);
    return server;
}

// Clients only remember their target; the start button connects.
SessionItem* marovent::PlaceClient(SessionItemClient* client, QTreeWidgetItem* root, const QString& ip,
                                   int port) {
    PlaceSession(client, root, ip, port);
    client->SetTarget(ip.toUtf8(), (unsigned)port, kConnectTimeoutMs);
    return client;
}

SessionItem* marovent::CreateTCPClient(QTreeWidgetItem* root, bool*, QString*) {
    OpenPanelTCPClient dialog(this);
    if (dialog.exec() != QDialog::Accepted)
        return nullptr;
    const QString ip = dialog.GetIP();
    const int port = dialog.GetPort();
    auto* client = new SessionItemTCPClient("TCPClient");
    ConnectTCPClient(client);
    return PlaceClient(client, root, ip, port);
}

void marovent::ConnectKCPClient(SessionItemKCPClient* session) {
    connect(session, &SessionItemKCPClient::OnClientConnectResultSignal, this,
            &marovent::OnKCPClient_ClientConnectResult);
    connect(session, &SessionItemKCPClient::OnClientDisconnectedSignal, this,
            &marovent::OnKCPClient_ClientDisconnected);
    ConnectView(session);
}

SessionItem* marovent::CreateKCPServer(QTreeWidgetItem* root, bool* success, QString* error) {
    OpenPanelKCPServer dialog(this);
    if (dialog.exec() != QDialog::Accepted)
        return nullptr;
    const QString ip = dialog.GetIP();
    const int port = dialog.GetPort();
    auto* server = new SessionItemKCPServer("KCPServer", dialog.GetMode());
    connect(server, &SessionItemKCPServer::OnClientConnectedSignal, this,
            &marovent::OnKCPServer_ClientConnected);
    connect(server, &SessionItemKCPServer::OnClientDisconnectedSignal, this,
            &marovent::OnKCPServer_ClientDisconnected);
    return PlaceServer(server, root, ip, port, success, error);
}

SessionItem* marovent::CreateKCPClient(QTreeWidgetItem* root, bool*, QString*) {
    OpenPanelKCPClient dialog(this);
    if (dialog.exec() != QDialog::Accepted)
        return nullptr;
    const QString ip = dialog.GetIP();
    const int port = dialog.GetPort();
    auto* client = new SessionItemKCPClient("KCPClient", dialog.GetMode());
    ConnectKCPClient(client);
    return PlaceClient(client, root, ip, port);
}

SessionItem* marovent::CreateCOM(QTreeWidgetItem* root, bool* success, QString* error) {
    OpenPanelCOM dialog(this);
    if (dialog.exec() != QDialog::Accepted)
        return nullptr;
    auto* com = new SessionItemCOM("COM");
    ConnectView(com);
    PlaceSession(com, root, dialog.GetPortName(), dialog.GetBaudRate());
    *success = com->Open(dialog.GetPortName().toUtf8(), (quint32)dialog.GetBaudRate(),
                         (quint32)dialog.GetParity(), (quint32)dialog.GetDataBits(),
                         (quint32)dialog.GetStopBits(), dialog.GetRTS(), dialog.GetDTR());
    *error = com->GetOpenErrorText();
    return com;
}

bool marovent::StartCOM(SessionItem* session, QString* error) {
    auto* com = dynamic_cast<SessionItemCOM*>(session);
    if (com == nullptr || com->Reopen())
        return true;
    *error = com->GetOpenErrorText();
    return false;
}

SessionItem* marovent::CreateUDP(QTreeWidgetItem* root, bool* success, QString* error) {
    OpenPanelUDPClient dialog(this);
    if (dialog.exec() != QDialog::Accepted)
        return nullptr;
    auto* udp = new SessionItemUDPClient("UDPClient");
    ConnectView(udp);
    PlaceSession(udp, root, dialog.GetRemoteIP(), dialog.GetRemotePort());
    *success = udp->Start(dialog.GetRemoteIP().toUtf8(), (quint32)dialog.GetRemotePort(),
                          dialog.GetLocalIP().toUtf8(), (quint32)dialog.GetLocalPort(),
                          dialog.IsMulticast(), dialog.GetInterfaceIP().toUtf8());
    // The library's text, or the session's own when the group join failed.
    *error = udp->GetOpenErrorText();
    return udp;
}

bool marovent::StartUDP(SessionItem* session, QString* error) {
    auto* udp = dynamic_cast<SessionItemUDPClient*>(session);
    if (udp == nullptr || udp->Restart())
        return true;
    *error = udp->GetOpenErrorText();
    return false;
}

bool marovent::StartServer(SessionItem* session, QString* error) {
    auto* server = dynamic_cast<SessionItemServer*>(session);
    if (server == nullptr || server->Restart())
        return true;
    *error = QString::fromUtf8(net_last_error());
    return false;
}

bool marovent::StartClient(SessionItem* session, QString* error) {
    auto* client = dynamic_cast<SessionItemClient*>(session);
    if (client == nullptr || client->Connect())
        return true;
    *error = QString::fromUtf8(net_last_error());
    return false;
}

void marovent::on_startButton_clicked() {
    SessionItem* session = SessionOf(currentItem_);
    if (session == nullptr)
        return;
    const SessionKind* kind = KindOfRoot(RootTypeOf(session->GetParentItem()));
    QString error;
    if (kind != nullptr && kind->start != nullptr && !(this->*kind->start)(session, &error))
        ShowError(error);
    if (currentItem_ != nullptr)
        SelectItem(currentItem_);
}

// A server's connection is also handed back to its server, which drops its
// child through the same path as a connection the peer closed.
void marovent::CloseSession(SessionItem* session) {
    session->Close();
    if (auto* server = dynamic_cast<SessionItemServer*>(SessionOf(session->GetParentItem())))
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
    if (dynamic_cast<SessionItemServer*>(SessionOf(parent)) != nullptr) {
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

void marovent::AddAcceptedChild(QTreeWidgetItem* serverItem, SessionItemClient* child) {
    auto* server = dynamic_cast<SessionItemServer*>(SessionOf(serverItem));
    if (server == nullptr) {
        delete child;
        return;
    }
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
    if (auto* server = dynamic_cast<SessionItemServer*>(SessionOf(serverItem)))
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
    if (item == currentItem_) {
        SelectItem(item);
        return;
    }
    PanelState state;
    if (DescribeSession(SessionOf(item), &state))
        item->setIcon(0, *state.icon);
}

void marovent::OnTCPServer_ClientConnected(QTreeWidgetItem* serverItem, TCPCLIENT client) {
    auto* child = new SessionItemTCPClient("TCPServer_Client", client);
    ConnectTCPClient(child);
    AddAcceptedChild(serverItem, child);
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

// The accepted peer runs with its server's mode.
void marovent::OnKCPServer_ClientConnected(QTreeWidgetItem* serverItem, KCPCLIENT client) {
    auto* server = dynamic_cast<SessionItemKCPServer*>(SessionOf(serverItem));
    if (server == nullptr)
        return;
    auto* child = new SessionItemKCPClient("KCPServer_Client", server->GetMode(), client);
    ConnectKCPClient(child);
    AddAcceptedChild(serverItem, child);
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

QByteArray marovent::ParseHexText(const QString& text) {
    QByteArray bytes;
    for (const QString& part : text.split(QChar(' '), Qt::SkipEmptyParts))
        bytes += QByteArray::fromHex(part.toUtf8());
    return bytes;
}

void marovent::ModbusCrc16(const unsigned char* data, int count, unsigned char* low,
                           unsigned char* high) {
    unsigned crc = 0xFFFF;
    for (int i = 0; i < count; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    *low = (unsigned char)(crc & 0xFF);
    *high = (unsigned char)(crc >> 8);
}

void marovent::on_sendButton_clicked() {
    const QString text = ui->sendTextEdit->toPlainText();
    if (text.isEmpty())
        return;
    const QByteArray bytes = ui->hexCheckBox->isChecked() ? ParseHexText(text) : TextToBytes(text);
    SessionItem* session = SessionOf(currentItem_);
    SendPath path;
    if (bytes.isEmpty() || session == nullptr || !SendPathOf(session, &path))
        return;
    const QString time = QDateTime::currentDateTime().toString("hh:mm:ss");
    if (path.ready) {
        const bool sent = session->Send(bytes);
        session->AppendRecvLine(TextToBytes(QString("[%0 %1] %2").arg(time, "=>", text)));
        // The transport refused bytes on a ready session: say so under the sent line.
        if (!sent)
            session->AppendRecvLine(QByteArray("Error : send failed"));
    } else {
        session->AppendRecvLine(QByteArray(path.notReady));
    }
    session->AddSendHistory(TextToBytes(text));
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
    const QString text = ui->sendTextEdit->toPlainText();
    if (text.isEmpty() || !ui->hexCheckBox->isChecked())
        return;
    QByteArray bytes = ParseHexText(text);
    if (bytes.size() < 2)
        return;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.constData());
    unsigned char low = 0, high = 0;
    ModbusCrc16(data, bytes.size() - 2, &low, &high);
    if (data[bytes.size() - 2] == low && data[bytes.size() - 1] == high)
        return;
    ModbusCrc16(data, bytes.size(), &low, &high);
    bytes.append((char)low);
    bytes.append((char)high);
    SetSendBoxText(QString::fromLatin1(bytes.toHex(' ')));
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
}

/* ---- Receive view ---- */

QString marovent::ViewText(const QByteArray& line) {
    // Every encoding takes at least one byte per character (UTF-8 up to four),
    // so decoding this many bytes always yields enough to show.
    const int limit = kViewLineChars * 4;
    QString text = BytesToText(line.size() > limit ? line.left(limit) : line);
    if (text.size() <= kViewLineChars && line.size() <= limit)
        return text;
    text.truncate(kViewLineChars);
    return text + QString(" … [%0 bytes, shortened in this view]").arg(line.size());
}

void marovent::ScrollToBottom() {
    QScrollBar* bar = ui->recvTextEdit->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void marovent::OnReceived(QTreeWidgetItem* item, QByteArray buffer) {
    if (item == nullptr || item != currentItem_)
        return;
    const QString line = ViewText(buffer) + QChar('\n');
    if (inTick_)
        pendingView_ += line;
    else
        AppendToView(line);
}

void marovent::AppendToView(const QString& text) {
    QTextCursor cursor = ui->recvTextEdit->textCursor();
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    if (autoScroll_)
        ScrollToBottom();
}

void marovent::FlushView() {
    if (pendingView_.isEmpty())
        return;
    AppendToView(pendingView_);
    pendingView_.clear();
}

// One insert of the joined lines: inserting line by line costs a layout pass per line.
void marovent::RebuildReceiveView(SessionItem* session) {
    ui->recvTextEdit->clear();
    QString joined;
    for (const QByteArray& line : session->GetReceivedLines()) {
        joined += ViewText(line);
        joined += QChar('\n');
    }
    QTextCursor cursor = ui->recvTextEdit->textCursor();
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(joined);
    ui->recvTextEdit->setTextCursor(cursor);
    ScrollToBottom();
}

void marovent::OnResetReceived(QTreeWidgetItem* item) {
    SessionItem* session = SessionOf(item);
    if (item == nullptr || item != currentItem_ || session == nullptr)
        return;
    pendingView_.clear();  // the rebuild shows those lines too
    RebuildReceiveView(session);
    SetSendBoxText(session->GetSendText());
    autoScroll_ = true;
}

void marovent::RecvTextScrollBarValueChanged(int value) {
    autoScroll_ = value >= ui->recvTextEdit->verticalScrollBar()->maximum() - kAutoScrollSlack;
}
