#include "platform/foundation/UserDefaultsWriter.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/foundation/Log.h"
#include "platform/foundation/NoDestructor.h"

namespace platform::userdefaults {

namespace {

// How long exit() waits for queued writes; a write stuck longer than this (a hung file system)
// does not hold the process.
constexpr auto kMaximumExitWait = std::chrono::seconds(2);

struct Writer {
    std::mutex mutex;
    std::condition_variable work;  // a job was queued
    std::condition_variable idle;  // the queue ran empty
    std::deque<WriteJob> jobs;
    bool running = false;  // the worker is inside a job
    bool started = false;
    bool exiting = false;

    bool isIdle() const { return jobs.empty() && !running; }
};

Writer& writer() {
    static NoDestructor<Writer> instance;
    return instance.get();
}

void runJob(const WriteJob& job) {
    try {
        job();
    } catch (const std::exception& e) {
        systemLog(std::string("User defaults write failed: ") + e.what());
    } catch (...) {
        systemLog("User defaults write failed");
    }
}

void workerLoop() {
    Writer& w = writer();
    std::unique_lock lock(w.mutex);
    for (;;) {
        w.work.wait(lock, [&w] { return !w.jobs.empty(); });
        WriteJob job = std::move(w.jobs.front());
        w.jobs.pop_front();
        w.running = true;
        lock.unlock();
        runJob(job);
        job = nullptr;  // lets go of the suite outside the lock
        lock.lock();
        w.running = false;
        if (w.isIdle()) w.idle.notify_all();
    }
}

void flushAtExit() {
    Writer& w = writer();
    std::unique_lock lock(w.mutex);
    w.exiting = true;
    w.idle.wait_for(lock, kMaximumExitWait, [&w] { return w.isIdle(); });
}

bool startLocked(Writer& w) {
    if (w.started) return true;
    try {
        std::thread(workerLoop).detach();  // lives for the process, like its state
    } catch (const std::system_error& e) {
        systemLog(std::string("Cannot start the user defaults writer: ") + e.what());
        return false;
    }
    w.started = true;
    std::atexit(flushAtExit);
    return true;
}

}  // namespace

bool scheduleWrite(WriteJob job) {
    Writer& w = writer();
    std::lock_guard lock(w.mutex);
    if (w.exiting || !startLocked(w)) return false;
    w.jobs.push_back(std::move(job));
    w.work.notify_one();
    return true;
}

void waitUntilIdle() {
    Writer& w = writer();
    std::unique_lock lock(w.mutex);
    w.idle.wait(lock, [&w] { return w.isIdle(); });
}

}  // namespace platform::userdefaults
