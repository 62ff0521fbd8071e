#pragma once

// Helpers shared by the desktop-program tests.

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace UiTest {

// Writes a 16-bit PCM WAVE file of a sine (440 Hz left, 660 Hz right when stereo).
bool WriteSineWav(const std::string& path, double seconds, std::uint32_t rate = 44100,
                  std::uint16_t channels = 2);

// Occupies every worker of the process-wide pool, so jobs queued meanwhile stay queued.
class PoolBlocker {
public:
    PoolBlocker();   // returns once every worker is held
    ~PoolBlocker();  // releases
    void Release();

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::uint32_t held = 0;
        bool released = false;
    };
    std::shared_ptr<State> state_;
};

// Calls `action` with the first modal widget of type T that becomes active. A timer of the event
// loop looks every 20 ms, so it also fires inside exec() of a modal dialog; the widget must be
// seen on two ticks in a row, because a dialog is already the modal widget while show() runs
// inside exec(), before exec() can be ended. Returns the timer; it deletes itself after the call.
template <class T>
QTimer* WhenModal(std::function<void(T*)> action) {
    auto* timer = new QTimer(qApp);
    timer->setInterval(20);
    auto seen = std::make_shared<QWidget*>(nullptr);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, action, seen] {
        auto* widget = qobject_cast<T*>(QApplication::activeModalWidget());
        if (!widget || !widget->isVisible() || *seen != widget) {
            *seen = widget;
            return;
        }
        timer->stop();
        timer->deleteLater();
        action(widget);
    });
    timer->start();
    return timer;
}

}  // namespace UiTest
