#include "RepeatSend.h"

#include "SessionItem.h"

RepeatSend::RepeatSend(SessionItem* session, std::function<bool()> send, int periodMs, int count)
    : QObject(session), session_(session), send_(std::move(send)), left_(count), bounded_(count > 0) {
    // A coarse timer would round a 1 ms period up to several.
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &RepeatSend::Fire);
    timer_.start(periodMs > 0 ? periodMs : 1);
}

void RepeatSend::Fire() {
    if (!send_() || (bounded_ && --left_ <= 0))
        Stop();
}

void RepeatSend::Stop() {
    if (!timer_.isActive())
        return;
    timer_.stop();
    emit Stopped(session_);
}
