// A client session over one transport's connection handle. TCP and KCP
// clients differ only in the functions they call, so each supplies a table of
// them and this template makes the calls: an outgoing client owns its handle,
// an accepted connection borrows its server's.
#ifndef MAROVENT_SESSIONITEMCLIENTOF_H
#define MAROVENT_SESSIONITEMCLIENTOF_H

#include "SessionItemClient.h"
#include "transport.h"

template <typename Handle, typename RecvCb>
struct ClientOps {
    Handle (*create)(int mode);
    void (*destroy)(Handle);
    void (*setUserData)(Handle, void* user);
    void (*setConnectCb)(Handle, void (*)(int status, const char* message, void* user));
    void (*setDisconnectCb)(Handle, void (*)(void* user));
    void (*setRecvCb)(Handle, RecvCb);
    RecvCb onRecv;  // the kind's adapter to OnTransportData
    void (*start)(Handle, const struct sockaddr* target, int timeoutMs);
    void (*run)(Handle, int mode);
    void (*close)(Handle);
    int (*send)(Handle, const char* data, int length);
    int (*localAddr)(Handle, struct sockaddr* out);
    int (*remoteAddr)(Handle, struct sockaddr* out);
    int64_t (*queued)(Handle);  // bytes sent but not yet taken by the socket; may be null
};

template <typename Handle, typename RecvCb>
class SessionItemClientOf : public SessionItemClient {
public:
    typedef ClientOps<Handle, RecvCb> Ops;

    ~SessionItemClientOf() override {
        // An accepted connection belongs to the server's transport object.
        if (IsAccepted())
            return;
        // The kind's signal adapters are gone: whatever the teardown reports stays unheard.
        Mute();
        ops_.destroy(client_);
    }

    Handle GetHandle() const { return client_; }
    int GetMode() const { return mode_; }

protected:
    // Without a handle: an outgoing client with a transport object of its own,
    // created with mode. With one: the accepted connection it names.
    SessionItemClientOf(const QString& kind, const ClientOps<Handle, RecvCb>& ops, int mode, Handle accepted,
                        int outgoingType, int acceptedType)
        : SessionItemClient(kind, accepted != nullptr, outgoingType, acceptedType),
          ops_(ops),
          client_(accepted),
          mode_(mode) {
        if (accepted != nullptr)
            return;
        client_ = ops_.create(mode);
        ops_.setUserData(client_, static_cast<SessionItemClient*>(this));
        ops_.setConnectCb(client_, &SessionItemClient::OnTransportConnect);
        ops_.setDisconnectCb(client_, &SessionItemClient::OnTransportDisconnect);
        ops_.setRecvCb(client_, ops_.onRecv);
    }

    void StartTransport(const struct sockaddr* target, unsigned timeoutMs) override {
        ops_.start(client_, target, (int)timeoutMs);
    }
    void RunTransport() override { ops_.run(client_, NET_RUN_NOWAIT); }
    void CloseTransport() override { ops_.close(client_); }
    int SendTransport(const QByteArray& data) override {
        return ops_.send(client_, data.constData(), data.size());
    }
    qint64 QueuedTransport() const override { return ops_.queued != nullptr ? ops_.queued(client_) : 0; }
    int LocalAddress(struct sockaddr* out) override { return ops_.localAddr(client_, out); }
    int RemoteAddress(struct sockaddr* out) override { return ops_.remoteAddr(client_, out); }

private:
    const ClientOps<Handle, RecvCb>& ops_;
    Handle client_;
    int mode_;
};

#endif
