#include "HostResolver.h"

#include "transport.h"

namespace {

// The transport's resolver object; its callback comes inside Run.
class SystemResolver : public HostResolver {
public:
    SystemResolver() : resolver_(resolver_create()) { resolver_set_user_data(resolver_, this); }
    ~SystemResolver() override { resolver_destroy(resolver_); }

    void Start(const QByteArray& host, const Done& done) override {
        failed_.clear();
        done_ = done;
        if (resolver_start(resolver_, host.constData(), OnAnswer) != 0) {
            // Told at the next run, as any other failure of the lookup.
            failed_ = QString::fromUtf8(net_last_error());
        }
    }
    void Run() override {
        if (!failed_.isEmpty()) {
            const QString error = failed_;
            failed_.clear();
            Answer(QByteArray(), error);
            return;
        }
        resolver_run(resolver_, NET_RUN_NOWAIT);
    }
    void Cancel() override {
        resolver_cancel(resolver_);
        done_ = nullptr;
        failed_.clear();
    }

private:
    static void OnAnswer(int status, const struct sockaddr* address, const char* message, void* user) {
        char ip[16] = {0};
        unsigned port = 0;
        if (status == 0)
            net_addr_to_ip(address, ip, &port);
        static_cast<SystemResolver*>(user)->Answer(QByteArray(ip), QString::fromUtf8(message));
    }
    // The callback may start another lookup: it is taken out first.
    void Answer(const QByteArray& ip, const QString& error) {
        Done done = done_;
        done_ = nullptr;
        if (done)
            done(ip, ip.isEmpty() ? error : QString());
    }

    RESOLVER resolver_;
    Done done_;
    QString failed_;
};

HostResolver* CreateSystemResolver() {
    return new SystemResolver;
}

}  // namespace

HostResolver::Factory HostResolver::factory = CreateSystemResolver;
