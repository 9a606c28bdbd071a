// Shared by the dialog tests: a private settings store, a second reader of the
// settings file, the interface list as the kernel reports it, and re-running
// one test function inside a network namespace of its own.
#ifndef MAROVENT_DIALOGTESTSUPPORT_H
#define MAROVENT_DIALOGTESTSUPPORT_H

#include <ifaddrs.h>
#include <net/if.h>
#include <arpa/inet.h>
#include <climits>
#include <netinet/in.h>

#include <QCoreApplication>
#include <QDir>
#include <QFont>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

#include "Settings.h"

namespace dialogtest {

// Marks the copy of the test program that runs inside a namespace.
inline const char* kInsideEnv = "MAROVENT_DIALOG_TEST_INSIDE";

// Keeps the store away from the user's own settings even when the program is
// run by hand without the test environment; fails the test case otherwise.
inline void IsolateSettings() {
    static QTemporaryDir fallback;
    if (qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME"))
        qputenv("XDG_CONFIG_HOME", fallback.path().toUtf8());
    QString root = QDir(qEnvironmentVariable("XDG_CONFIG_HOME")).absolutePath();
    QVERIFY2(GetSettings()->fileName().startsWith(root + "/"), qPrintable(GetSettings()->fileName()));
}

// Every case starts from an empty store.
inline void ClearSettings() {
    GetSettings()->clear();
    GetSettings()->sync();
}

// The key/value pairs as they are on disk, read by a second store.
inline QMap<QString, QString> StoredFile() {
    GetSettings()->sync();
    QSettings file(GetSettings()->fileName(), QSettings::IniFormat);
    QMap<QString, QString> result;
    for (const QString& key : file.allKeys())
        result.insert(key, file.value(key).toString());
    return result;
}

// IPv4 addresses of the interfaces that are up and running, in the kernel's order.
struct KernelInterface {
    QString address;
    QString netmask;
};

inline QList<KernelInterface> KernelIPv4Interfaces() {
    QList<KernelInterface> result;
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return result;
    for (struct ifaddrs* ent = list; ent != nullptr; ent = ent->ifa_next) {
        if (!((ent->ifa_flags & IFF_UP) && (ent->ifa_flags & IFF_RUNNING)))
            continue;
        if (ent->ifa_addr == nullptr || ent->ifa_addr->sa_family != AF_INET)
            continue;
        char addr[INET_ADDRSTRLEN] = {0};
        char mask[INET_ADDRSTRLEN] = {0};
        inet_ntop(AF_INET, &((struct sockaddr_in*)ent->ifa_addr)->sin_addr, addr, sizeof(addr));
        if (ent->ifa_netmask != nullptr)
            inet_ntop(AF_INET, &((struct sockaddr_in*)ent->ifa_netmask)->sin_addr, mask, sizeof(mask));
        result.append({QString::fromLatin1(addr), QString::fromLatin1(mask)});
    }
    freeifaddrs(list);
    return result;
}

inline bool InsideNamespace() {
    return !qEnvironmentVariableIsEmpty(kInsideEnv);
}

enum NamespaceOutcome { NAMESPACE_PASSED, NAMESPACE_FAILED, NAMESPACE_UNAVAILABLE };

// Runs "unshare <flags> sh -c '<setup> && exec <this program> <function>'";
// an empty set-up means the tools it needs are missing. Every wait is bounded.
inline NamespaceOutcome RunInNamespace(const QStringList& unshareFlags, const QString& setup,
                                       const QString& function, QString* output) {
    QProcess probe;
    probe.start("unshare", unshareFlags + QStringList{"true"});
    if (setup.isEmpty() || !probe.waitForFinished(10000) || probe.exitStatus() != QProcess::NormalExit ||
        probe.exitCode() != 0)
        return NAMESPACE_UNAVAILABLE;
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(kInsideEnv, "1");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    QString script = setup + " && exec \"$0\" \"$1\"";
    child.start("unshare", unshareFlags + QStringList{"sh", "-c", script, QCoreApplication::applicationFilePath(), function});
    bool finished = child.waitForFinished(60000);
    if (!finished) {
        child.kill();
        child.waitForFinished(5000);
    }
    *output = QString::fromLocal8Bit(child.readAll());
    bool passed = finished && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
    return passed ? NAMESPACE_PASSED : NAMESPACE_FAILED;
}

// Outside a namespace: runs the current test function again inside a fresh
// one and reports its result. Inside: falls through to the function's checks.
#define RUN_IN_OWN_NAMESPACE(flags, setup)                                                          \
    if (!dialogtest::InsideNamespace()) {                                                           \
        QString output_;                                                                            \
        dialogtest::NamespaceOutcome outcome_ =                                                     \
            dialogtest::RunInNamespace(flags, setup, QTest::currentTestFunction(), &output_);       \
        if (outcome_ == dialogtest::NAMESPACE_UNAVAILABLE)                                          \
            QSKIP("namespaces, or the tools to set one up, are unavailable here");                  \
        QVERIFY2(outcome_ == dialogtest::NAMESPACE_PASSED, qPrintable(output_));                    \
        return;                                                                                     \
    }

// The ip tool, which test set-ups use inside their namespace.
inline QString IpTool() {
    QString path = QStandardPaths::findExecutable("ip");
    if (path.isEmpty())
        path = QStandardPaths::findExecutable("ip", {"/usr/sbin", "/sbin", "/usr/bin", "/bin"});
    return path;
}

// Loopback up with 127.0.0.1/8 and 192.168.1.20/24; empty without the ip tool.
inline QString TwoAddressLoopback() {
    QString ip = IpTool();
    if (ip.isEmpty())
        return QString();
    return ip + " link set lo up && " + ip + " addr add 192.168.1.20/24 dev lo";
}

// "微软雅黑" at 12 points, as every label and field shows it.
inline bool HasDialogFont(const QWidget* widget) {
    return widget->font().family() == QStringLiteral("微软雅黑") && widget->font().pointSize() == 12;
}

// The texts of the dialog's labels in form order; fontsOk tells whether every
// label uses the dialog font.
inline QStringList LabelTexts(const QWidget* dialog, bool* fontsOk) {
    QStringList texts;
    *fontsOk = true;
    for (const QLabel* label : dialog->findChildren<QLabel*>()) {
        texts << label->text();
        *fontsOk = *fontsOk && HasDialogFont(label);
    }
    return texts;
}

// Plain keys only and an integer validator without a range.
inline bool IsNumberField(const QLineEdit* field) {
    auto* validator = qobject_cast<const QIntValidator*>(field->validator());
    return !field->testAttribute(Qt::WA_InputMethodEnabled) && validator != nullptr &&
           validator->bottom() == INT_MIN && validator->top() == INT_MAX;
}

}  // namespace dialogtest

#endif
