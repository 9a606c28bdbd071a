#include "marovent.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QScrollBar>
#include <QSettings>
#include <QTimer>

#include "Encoding.h"
#include "SessionItem.h"
#include "Settings.h"
#include "ui_marovent.h"

namespace {

const int kTickIntervalMs = 10;

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

    int encoding = GetSettings()->value("ENCODING", "0").toInt();
    if (encoding >= ui->encodingComboBox->count())
        encoding = 0;
    ui->encodingComboBox->setCurrentIndex(encoding);
    CurrentEncoding = ui->encodingComboBox->currentIndex();

    ui->sendTextEdit->installEventFilter(this);
    ui->sessionTypeTreeWidget->installEventFilter(this);
}

marovent::~marovent() {
    delete ui;
}

void marovent::closeEvent(QCloseEvent* event) {
    GetSettings()->setValue("ENCODING", QString::number(ui->encodingComboBox->currentIndex()));
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
    for (SessionItem* session : sessions_)
        session->Update();
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

/* ---- Tree and state panel ---- */

int marovent::GetCurrentRootType() const {
    for (auto it = typeRoots_.constBegin(); it != typeRoots_.constEnd(); ++it) {
        if (it.value() == currentItem_)
            return it.key();
    }
    return -1;
}

SessionItem* marovent::SessionOf(QTreeWidgetItem* item) {
    if (item == nullptr)
        return nullptr;
    return static_cast<SessionItem*>(item->data(0, Qt::UserRole).value<void*>());
}

void marovent::TreeItemClicked(QTreeWidgetItem* item, int) {
    if (item != nullptr)
        SelectItem(item);
}

void marovent::SelectItem(QTreeWidgetItem* item) {
    QTreeWidgetItem* old = currentItem_;
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
    if (root >= 0)
        HideStatePanel();
    UpdateStatistics();
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

/* ---- Session lifecycle, send and receive: filled in with the session kinds ---- */

void marovent::on_encodingComboBox_currentIndexChanged(int index) {
    CurrentEncoding = index;
}

void marovent::on_hexCheckBox_stateChanged(int) {}
void marovent::on_createButton_clicked() {}
void marovent::on_deleteButton_clicked() {}
void marovent::on_startButton_clicked() {}
void marovent::on_closeButton_clicked() {}
void marovent::on_sendButton_clicked() {}
void marovent::on_clearButton_clicked() {}
void marovent::RecvTextScrollBarValueChanged(int) {}
void marovent::OnTCPServer_ClientConnected(QTreeWidgetItem*, TCPCLIENT) {}
void marovent::OnTCPServer_ClientDisconnected(QTreeWidgetItem*, TCPCLIENT) {}
void marovent::OnTCPClient_ClientConnectResult(bool, QTreeWidgetItem*, TCPCLIENT) {}
void marovent::OnTCPClient_ClientDisconnected(QTreeWidgetItem*) {}
void marovent::OnKCPServer_ClientConnected(QTreeWidgetItem*, KCPCLIENT) {}
void marovent::OnKCPServer_ClientDisconnected(QTreeWidgetItem*, KCPCLIENT) {}
void marovent::OnKCPClient_ClientConnectResult(bool, QTreeWidgetItem*, KCPCLIENT) {}
void marovent::OnKCPClient_ClientDisconnected(QTreeWidgetItem*) {}
void marovent::OnReceived(QTreeWidgetItem*, QByteArray) {}
void marovent::OnResetReceived(QTreeWidgetItem*) {}
void marovent::RecallHistory(bool) {}
void marovent::AppendModbusCrc() {}
