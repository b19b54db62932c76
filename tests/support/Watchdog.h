// Ends the test program when a step that must never block has not returned
// in time: a test of "never waits" has to fail, not hang the suite.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

class Watchdog {
public:
    Watchdog(std::chrono::seconds limit, std::string what)
        : m_thread([this, limit, what = std::move(what)] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_done.wait_for(lock, limit, [this] { return m_bDone; })) {
                  std::fprintf(stderr, "blocked for %lld s: %s\n",
                               static_cast<long long>(limit.count()), what.c_str());
                  std::_Exit(3);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bDone = true;
        }
        m_done.notify_all();
        m_thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_bDone = false;
    std::thread m_thread;
};
