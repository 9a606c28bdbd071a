#include "SessionItemServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "SessionAddress.h"
#include "SessionItemClient.h"
#include "transport.h"

SessionItemServer::SessionItemServer(const QString& kind) : SessionItem(kind) {}

bool SessionItemServer::Start(const QByteArray& ip, unsigned port) {
    ip_ = ip;
    port_ = port;
    return Restart();
}

bool SessionItemServer::Restart() {
    running_ = false;
    struct sockaddr* address = net_shared_addr();
    QString error;
    if (!ParseAddress(ip_, port_, AddressRole::Local, address, &error))
        return Fail(error);
    if (StartTransport(address) != 0)
        return Fail(QString::fromUtf8(net_last_error()));
    ClearError();
    running_ = true;
    return true;
}

/* ---- Capture ---- */

namespace {

QString PeerTag(SessionItem* child) {
    auto* client = qobject_cast<SessionItemClient*>(child);
    return client != nullptr ? QString("%1:%2").arg(client->GetPeerIP()).arg(client->GetPeerPort()) : QString();
}

}  // namespace

bool SessionItemServer::StartCapture(const QString& path, bool binary) {
    if (!SessionItem::StartCapture(path, binary))
        return false;
    if (binary) {
        for (SessionItem* child : Children())
            StartChildCapture(child);
    }
    return true;
}

void SessionItemServer::StopCapture() {
    const bool binary = IsCaptureBinary();
    const QString path = CapturePath();
    for (SessionItem* child : Children()) {
        if (child->IsCaptureByParent())
            child->StopCapture();
    }
    SessionItem::StopCapture();
    // A binary capture's bytes are in the children's files: the chosen one stays empty.
    if (binary)
        QFile::remove(path);
}

void SessionItemServer::AdoptChild(SessionItem* child) {
    child->SetCaptureParent(this, PeerTag(child));
    if (IsCaptureBinary())
        StartChildCapture(child);
}

void SessionItemServer::ReleaseChild(SessionItem* child) {
    child->SetCaptureParent(nullptr, QString());
}

// "dir/name.bin" gives "dir/name_127.0.0.1_40000.bin".
void SessionItemServer::StartChildCapture(SessionItem* child) {
    const QFileInfo chosen(CapturePath());
    QString name = chosen.completeBaseName() + "_" + PeerTag(child).replace(':', '_');
    if (!chosen.suffix().isEmpty())
        name += "." + chosen.suffix();
    child->OpenCapture(chosen.dir().filePath(name), true, true);
}

void SessionItemServer::CaptureFailed(const QString& error) {
    SessionItem::CaptureFailed(error);
    for (SessionItem* child : Children())
        child->AppendRecvLine(SessionLine("Error : capture " + error));
}
