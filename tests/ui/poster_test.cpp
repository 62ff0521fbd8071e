// UIThreadPoster: closures from worker threads run on the UI thread in order; a detached poster
// drops what is queued without running it.

#include <QCoreApplication>
#include <QObject>
#include <QTest>
#include <QThread>
#include <memory>
#include <thread>
#include <vector>

#include "ui/UIThreadPoster.h"

class PosterTest final : public QObject {
    Q_OBJECT

private slots:
    void runsWorkerClosuresOnTheUiThreadInOrder() {
        QObject window;
        UIThreadPoster poster;
        poster.Attach(window);

        constexpr int kThreads = 4;
        constexpr int kPerThread = 200;
        std::vector<std::vector<int>> seen(kThreads);
        bool offThread = false;
        QThread* ui = QThread::currentThread();
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kPerThread; ++i) {
                    const bool posted = poster.Post([&, t, i] {
                        if (QThread::currentThread() != ui) offThread = true;
                        seen[static_cast<std::size_t>(t)].push_back(i);
                    });
                    if (!posted) return;
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
        QCoreApplication::processEvents();
        QVERIFY(!offThread);
        for (const std::vector<int>& s : seen) {
            QCOMPARE(static_cast<int>(s.size()), kPerThread);
            for (int i = 0; i < kPerThread; ++i) QCOMPARE(s[static_cast<std::size_t>(i)], i);
        }
    }

    void detachDestroysQueuedClosuresUnrun() {
        QObject window;
        UIThreadPoster poster;
        poster.Attach(window);
        auto token = std::make_shared<int>(0);
        bool ran = false;
        int posted = 0;
        std::thread worker([&] {
            for (int i = 0; i < 10; ++i) posted += poster.Post([token, &ran] { ran = true; });
        });
        worker.join();
        QCOMPARE(posted, 10);
        QCOMPARE(token.use_count(), 11L);
        poster.Detach();
        QCOMPARE(token.use_count(), 1L);  // destroyed, not leaked
        QCoreApplication::processEvents();
        QVERIFY(!ran);
        QVERIFY(!poster.IsAttached());
        QVERIFY(!poster.Post([&ran] { ran = true; }));
        QCoreApplication::processEvents();
        QVERIFY(!ran);
        poster.Detach();  // detaching twice does nothing
    }

    void windowDestructionDetaches() {
        UIThreadPoster poster;
        bool ran = false;
        {
            QObject window;
            poster.Attach(window);
            QVERIFY(poster.Post([&ran] { ran = true; }));
        }
        QVERIFY(!poster.IsAttached());
        QCoreApplication::processEvents();
        QVERIFY(!ran);

        QObject another;  // a detached poster can serve again
        poster.Attach(another);
        QVERIFY(poster.Post([&ran] { ran = true; }));
        QCoreApplication::processEvents();
        QVERIFY(ran);
    }
};

int RunPosterTests(int argc, char** argv) {
    PosterTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "poster_test.moc"
