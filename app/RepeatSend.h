// A repeated send on one session: a precise timer that calls the send it was
// given once per period, a bounded number of times or until stopped, and
// stops itself at the first send that did not go out. A child of the session,
// so it goes with it and keeps running while another session is shown.
#ifndef MAROVENT_REPEATSEND_H
#define MAROVENT_REPEATSEND_H

#include <QObject>
#include <QTimer>

#include <functional>

class SessionItem;

class RepeatSend : public QObject {
    Q_OBJECT
public:
    // send: one send, false when it did not go out. count 0: until stopped.
    RepeatSend(SessionItem* session, std::function<bool()> send, int periodMs, int count);

    void Stop();
    bool IsRunning() const { return timer_.isActive(); }
    SessionItem* Session() const { return session_; }

signals:
    void Stopped(SessionItem* session);

private:
    void Fire();

    SessionItem* session_;
    std::function<bool()> send_;
    QTimer timer_;
    int left_;  // sends still to make; 0 with an unbounded count means none counted
    bool bounded_;
};

#endif
