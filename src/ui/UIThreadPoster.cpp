#include "ui/UIThreadPoster.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <utility>

namespace {

// Counterpart of the private window message the closures travel in.
constexpr QEvent::Type kPostedClosure = static_cast<QEvent::Type>(QEvent::User + 0xFF);

class ClosureEvent final : public QEvent {
public:
    explicit ClosureEvent(std::function<void()> closure)
        : QEvent(kPostedClosure), closure(std::move(closure)) {}
    std::function<void()> closure;
};

}  // namespace

class UIThreadPoster::Receiver final : public QObject {
public:
    bool event(QEvent* e) override {
        if (e->type() != kPostedClosure) return QObject::event(e);
        auto& item = static_cast<ClosureEvent&>(*e);
        Q_ASSERT(item.closure);
        // Nothing may leave an event handler; the closures posted here only update widgets.
        try {
            item.closure();
        } catch (...) {
        }
        return true;
    }
};

UIThreadPoster::~UIThreadPoster() {
    Detach();
}

void UIThreadPoster::Attach(QObject& window) {
    Detach();
    auto* receiver = new Receiver;
    receiver->moveToThread(window.thread());
    {
        std::lock_guard lock(mutex_);
        receiver_ = receiver;
    }
    windowDestroyed_ = QObject::connect(&window, &QObject::destroyed, [this] { Detach(); });
}

void UIThreadPoster::Detach() {
    Receiver* receiver;
    {
        std::lock_guard lock(mutex_);
        receiver = std::exchange(receiver_, nullptr);
    }
    QObject::disconnect(windowDestroyed_);
    if (!receiver) return;
    // Posts that got in before the lock was taken are still queued: destroy them unrun.
    QCoreApplication::removePostedEvents(receiver, kPostedClosure);
    delete receiver;
}

bool UIThreadPoster::Post(std::function<void()> closure) {
    if (!closure) return false;
    std::lock_guard lock(mutex_);
    if (!receiver_ || !QCoreApplication::instance() || QCoreApplication::closingDown())
        return false;
    QCoreApplication::postEvent(receiver_, new ClosureEvent(std::move(closure)));
    return true;
}

bool UIThreadPoster::IsAttached() const {
    std::lock_guard lock(mutex_);
    return receiver_ != nullptr;
}
