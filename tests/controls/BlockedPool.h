#pragma once

#include "Picture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSemaphore>
#include <QThreadPool>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

// Runs the event loop until `condition` holds; false if `timeoutMs` passes first. Not
// QTest::qWaitFor: it sleeps 10 ms between passes and makes its last check without a last pass,
// too coarse for the hover report that must come within a tenth of a second.
inline bool ProcessEventsUntil(const std::function<bool()>& condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// Occupies every thread of the picture decode pool until released, so that background decodes queue
// up behind it and the state before their arrival can be looked at.
class BlockedPool
{
public:
    BlockedPool()
    {
        const int threads = CPicture::DecodePool().maxThreadCount();
        for (int i = 0; i < threads; ++i)
            queueBlocker(0);
        EXPECT_TRUE(m_state->started.tryAcquire(threads, 10000))
            << "the pool's threads did not start";
    }
    ~BlockedPool() { release(); }
    BlockedPool(const BlockedPool&) = delete;
    BlockedPool& operator=(const BlockedPool&) = delete;

    // Queues one more blocking task; it takes the next thread that comes free once the tasks of
    // higher priority, and those of its own queued before it, have run.
    void queueBlocker(int priority)
    {
        ++m_blockers;
        // The tasks share the semaphores: a released task may still be inside acquire() when
        // this object is gone.
        CPicture::DecodePool().start(
            [state = m_state] {
                state->started.release();
                state->gate.acquire();
            },
            priority);
    }

    // Lets one blocking task end, freeing its thread for what is queued.
    void releaseOne()
    {
        if (m_released < m_blockers) {
            ++m_released;
            m_state->gate.release();
        }
    }

    void release()
    {
        m_state->gate.release(m_blockers - m_released);
        m_released = m_blockers;
    }

private:
    struct State
    {
        QSemaphore started;
        QSemaphore gate;
    };
    std::shared_ptr<State> m_state = std::make_shared<State>();
    int m_blockers = 0;
    int m_released = 0;
};
