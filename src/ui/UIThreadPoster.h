#pragma once

// Carries closures from any thread to the UI thread through the Qt event queue.
//
// Attach on the UI thread once the window exists; Post from any thread; Detach (on the UI thread)
// drops every closure still queued without running it. Closures run on the UI thread in posting
// order. A closure must not refer to anything that dies before the UI thread runs it or before
// the poster is detached, whichever comes first.

#include <QMetaObject>
#include <functional>
#include <mutex>

class QObject;

class UIThreadPoster {
public:
    UIThreadPoster() = default;
    ~UIThreadPoster();  // detaches
    UIThreadPoster(const UIThreadPoster&) = delete;
    UIThreadPoster& operator=(const UIThreadPoster&) = delete;

    // Starts serving `window` (UI thread): closures posted from now on run on the thread that
    // owns it. The poster detaches itself when `window` is destroyed. Attaching again detaches
    // first.
    void Attach(QObject& window);

    // Destroys every queued closure without running it and refuses further posts (UI thread).
    // Does nothing when not attached. Not to be called from inside a posted closure.
    void Detach();

    // Queues `closure` to run on the UI thread. False, with the closure not run, when the poster
    // is detached or the application is shutting down. Any thread.
    bool Post(std::function<void()> closure);

    bool IsAttached() const;

private:
    class Receiver;

    mutable std::mutex mutex_;
    Receiver* receiver_ = nullptr;  // owned; lives on the UI thread
    QMetaObject::Connection windowDestroyed_;
};
