// The client map of a server session over its transport's connection handle,
// and the operations that TCP and KCP servers share on it. Child is the
// client session kind that shows one accepted connection.
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

template <typename Handle, typename Child>
class SessionItemServerOf : public SessionItemServer {
public:
    // Children first, in ascending handle order, then one pass of the transport.
    void Update() override {
        SessionItem::Update();
        DropExpiredHeld();
        for (QTreeWidgetItem* item : clients_.values()) {
            if (SessionItem* child = SessionItem::FromTreeItem(item))
                child->Update();
        }
        RunTransport();
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
        StopTransport();
        SetRunning(false);
    }

    // A handle already listed keeps its first item: the transport reports each
    // live connection once, so a second add is a stale caller.
    bool AddClient(Handle client, QTreeWidgetItem* item) {
        if (client == nullptr || item == nullptr || clients_.contains(client))
            return false;
        clients_.insert(client, item);
        ReleaseHeld(client);
        return true;
    }

    bool RemoveClient(Handle client) {
        held_.remove(client);
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
    // Connections with data waiting for their child.
    int HeldCount() const { return held_.size(); }

    // Bounds of what is held for connections not listed yet.
    static constexpr int kMaxHeldPeers = 64;
    static constexpr int kMaxHeldChunks = SessionItem::kMaxReceivedLines;
    static constexpr int kMaxHeldBytes = 1024 * 1024;

protected:
    // holdMs: how long data for a connection not listed yet waits for its
    // child; 0 drops it at once (a transport that reports before data).
    explicit SessionItemServerOf(const QString& kind, unsigned holdMs = 0)
        : SessionItemServer(kind), holdMs_(holdMs) {}

    // What tells one connection from a later one that reuses its freed handle
    // (compared before held data is released); empty when handles are never reused early.
    virtual QByteArray PeerKey(Handle) { return QByteArray(); }

    virtual void StopTransport() = 0;
    virtual void RunTransport() = 0;
    virtual void EmitClientDisconnected(QTreeWidgetItem* item, Handle client) = 0;

    void ClientReceived(Handle client, const char* data, int length) {
        if (length < 0)
            return;
        if (Child* child = ChildOf(client))
            child->ReceiveFromServer(QByteArray(data, length));
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
            child->ReceiveFromServer(chunk);
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

    QMap<Handle, QTreeWidgetItem*> clients_;
    QMap<Handle, Held> held_;
    unsigned holdMs_;
};

#endif
