// The client map of a server session over its transport's connection handle,
// and the operations that TCP and KCP servers share on it. Child is the
// client session kind that shows one accepted connection; the transport calls
// come from the kind's table of functions over its server handle.
//
// A transport may deliver data for a connection before it reports it
// accepted (a KCP peer's control frames and raw datagrams can beat its
// handshake). Such data is held per handle, bounded, and listed under the
// child once the window adds it; it is dropped when the handle closes, the
// server closes, or the hold time passes without the child appearing.
#ifndef MAROVENT_SESSIONITEMSERVEROF_H
#define MAROVENT_SESSIONITEMSERVEROF_H

#include <QMap>

#include <climits>

#include "SessionItemServer.h"
#include "transport.h"

template <typename Server, typename Handle, typename RecvCb>
struct ServerOps {
    Server (*create)(int mode);
    void (*destroy)(Server);
    void (*setUserData)(Server, void* user);
    void (*setConnectCb)(Server, void (*)(Handle client, void* user));
    void (*setDisconnectCb)(Server, void (*)(Handle client, void* user));
    void (*setRecvCb)(Server, RecvCb);
    RecvCb onRecv;  // the kind's adapter to OnTransportData
    int (*start)(Server, const struct sockaddr* address);
    void (*stop)(Server);
    void (*run)(Server, int mode);
};

template <typename Handle, typename Child, typename Server, typename RecvCb>
class SessionItemServerOf : public SessionItemServer {
public:
    typedef ServerOps<Server, Handle, RecvCb> Ops;

    ~SessionItemServerOf() override {
        // The kind's signal adapters are gone: whatever the teardown reports stays unheard.
        muted_ = true;
        ops_.destroy(server_);
    }

    // A new session for a connection the transport reported accepted.
    virtual Child* NewChild(Handle client) = 0;

    // Children first, in ascending handle order, then one pass of the transport.
    void Update() override {
        SessionItem::Update();
        DropExpiredHeld();
        for (QTreeWidgetItem* item : clients_.values()) {
            if (SessionItem* child = SessionItem::FromTreeItem(item))
                child->Update();
        }
        ops_.run(server_, NET_RUN_NOWAIT);
    }

    // One disconnect signal per child, smallest handle first. The window's
    // slot removes each entry; one that is still there afterwards is dropped
    // here so that a server without a window cannot spin forever.
    void Close() override {
        while (!clients_.isEmpty()) {
            const Handle handle = clients_.firstKey();
            EmitClientDisconnected(clients_.first(), handle);
            clients_.remove(handle);
        }
        held_.clear();
        ops_.stop(server_);
        SetRunning(false);
    }

    // A handle already listed keeps its first item: the transport reports each
    // live connection once, so a second add is a stale caller.
    bool AddClient(Handle client, QTreeWidgetItem* item) {
        if (client == nullptr || item == nullptr || clients_.contains(client))
            return false;
        clients_.insert(client, item);
        if (Child* child = ChildOf(client))
            AdoptChild(child);  // before the held data, which its capture takes too
        ReleaseHeld(client);
        return true;
    }

    bool RemoveClient(Handle client) {
        held_.remove(client);
        if (Child* child = ChildOf(client))
            ReleaseChild(child);
        return clients_.remove(client) > 0;
    }

    // Unknown handles are ignored: the map holds exactly the live children.
    void NotifyDisconnected(Handle client) {
        held_.remove(client);
        const auto it = clients_.constFind(client);
        if (it != clients_.constEnd())
            EmitClientDisconnected(it.value(), client);
    }

    QTreeWidgetItem* ItemOf(Handle client) const { return clients_.value(client, nullptr); }

    bool AddChild(SessionItem* child, QTreeWidgetItem* item) override {
        Child* session = dynamic_cast<Child*>(child);
        return session != nullptr && AddClient(session->GetHandle(), item);
    }
    bool RemoveChild(SessionItem* child) override {
        Child* session = dynamic_cast<Child*>(child);
        return session != nullptr && RemoveClient(session->GetHandle());
    }
    void NotifyChildClosed(SessionItem* child) override {
        if (Child* session = dynamic_cast<Child*>(child))
            NotifyDisconnected(session->GetHandle());
    }
    int ChildCount() const override { return clients_.size(); }
    QList<SessionItem*> Children() const override {
        QList<SessionItem*> children;
        for (QTreeWidgetItem* item : clients_) {
            if (SessionItem* child = SessionItem::FromTreeItem(item))
                children.append(child);
        }
        return children;
    }
    // Connections with data waiting for their child.
    int HeldCount() const { return held_.size(); }

    // Bounds of what is held for connections not listed yet.
    static constexpr int kMaxHeldPeers = 64;
    static constexpr int kMaxHeldChunks = SessionItem::kMaxReceivedLines;
    static constexpr int kMaxHeldBytes = 1024 * 1024;

protected:
    // holdMs: how long data for a connection not listed yet waits for its
    // child; 0 drops it at once (a transport that reports before data).
    SessionItemServerOf(const QString& kind, const Ops& ops, int mode, unsigned holdMs = 0)
        : SessionItemServer(kind), ops_(ops), server_(ops.create(mode)), holdMs_(holdMs) {
        ops_.setUserData(server_, static_cast<SessionItemServerOf*>(this));
        ops_.setConnectCb(server_, &SessionItemServerOf::OnTransportAccepted);
        ops_.setDisconnectCb(server_, &SessionItemServerOf::OnTransportClosed);
        ops_.setRecvCb(server_, ops_.onRecv);
    }

    // What tells one connection from a later one that reuses its freed handle
    // (compared before held data is released); empty when handles are never reused early.
    virtual QByteArray PeerKey(Handle) { return QByteArray(); }

    int StartTransport(const struct sockaddr* address) override { return ops_.start(server_, address); }
    virtual void EmitClientConnected(Handle client) = 0;
    virtual void EmitClientDisconnected(QTreeWidgetItem* item, Handle client) = 0;

public:
    // Transport callbacks; user is the SessionItemServerOf.
    static void OnTransportAccepted(Handle client, void* user) {
        auto* self = static_cast<SessionItemServerOf*>(user);
        if (!self->muted_)
            self->EmitClientConnected(client);
    }
    static void OnTransportClosed(Handle client, void* user) {
        auto* self = static_cast<SessionItemServerOf*>(user);
        if (!self->muted_)
            self->NotifyDisconnected(client);
    }
    static void OnTransportData(void* user, Handle client, const char* data, int length) {
        static_cast<SessionItemServerOf*>(user)->ClientReceived(client, data, length);
    }

protected:

    void ClientReceived(Handle client, const char* data, int length) {
        if (length < 0)
            return;
        if (Child* child = ChildOf(client))
            child->ReceiveFromServer(data, length);
        else if (holdMs_ > 0 && !clients_.contains(client))
            Hold(client, data, length);
    }

private:
    struct Held {
        QByteArray key;
        quint64 since = 0;
        QList<QByteArray> chunks;
        qint64 bytes = 0;
        qint64 overflow = 0;  // bytes beyond the bounds: counted, not listed
    };

    Child* ChildOf(Handle client) const {
        return dynamic_cast<Child*>(SessionItem::FromTreeItem(ItemOf(client)));
    }

    void Hold(Handle client, const char* data, int length) {
        auto it = held_.find(client);
        if (it == held_.end()) {
            if (held_.size() >= kMaxHeldPeers)
                return;
            it = held_.insert(client, Held());
            it->key = PeerKey(client);
            it->since = ClockNow();
        }
        if (it->chunks.size() < kMaxHeldChunks && it->bytes + length <= kMaxHeldBytes) {
            it->chunks.append(QByteArray(data, length));
            it->bytes += length;
        } else {
            it->overflow += length;
        }
    }

    void ReleaseHeld(Handle client) {
        const auto it = held_.find(client);
        if (it == held_.end())
            return;
        const Held held = it.value();
        held_.erase(it);
        Child* child = ChildOf(client);
        if (child == nullptr || held.key != PeerKey(client))
            return;
        for (const QByteArray& chunk : held.chunks)
            child->ReceiveFromServer(chunk.constData(), chunk.size());
        if (held.overflow > 0)
            child->AddRecvCount((int)qMin<qint64>(held.overflow, INT_MAX));
    }

    void DropExpiredHeld() {
        const quint64 now = ClockNow();
        for (auto it = held_.begin(); it != held_.end();) {
            if (now - it->since > holdMs_)
                it = held_.erase(it);
            else
                ++it;
        }
    }

    const Ops& ops_;
    Server server_;
    QMap<Handle, QTreeWidgetItem*> clients_;
    QMap<Handle, Held> held_;
    unsigned holdMs_;
    bool muted_ = false;
};

#endif
