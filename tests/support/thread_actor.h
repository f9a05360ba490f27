// A thread that runs the test's steps one at a time, so that a test can act
// as several lock holders in a fixed order and leave one of them asleep.
#ifndef ORNUTIL_TESTS_SUPPORT_THREAD_ACTOR_H
#define ORNUTIL_TESTS_SUPPORT_THREAD_ACTOR_H

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

namespace ornutil_test {

class ThreadActor {
 public:
  ThreadActor() : thread_([this] { loop(); }) {}

  // Waits (bounded) for the last step to end. A step still blocked then
  // means a lock never granted it: the process cannot be cleaned up, so it
  // exits with a failure instead of hanging the suite.
  ~ThreadActor() {
    {
      std::unique_lock<std::mutex> guard(mutex_);
      stop_ = true;
      cond_.notify_all();
      if (!cond_.wait_for(guard, std::chrono::seconds(30), [this] { return done_; })) {
        std::fprintf(stderr, "ThreadActor: a step never finished\n");
        std::_Exit(3);
      }
    }
    thread_.join();
  }
  ThreadActor(const ThreadActor&) = delete;
  ThreadActor& operator=(const ThreadActor&) = delete;

  // Queues a step; its result arrives through the future.
  std::future<int> start(std::function<int()> step) {
    auto task = std::make_shared<std::packaged_task<int()>>(std::move(step));
    std::future<int> result = task->get_future();
    std::lock_guard<std::mutex> guard(mutex_);
    steps_.push_back([task] { (*task)(); });
    cond_.notify_all();
    return result;
  }

  // Runs a step and returns its result.
  int run(std::function<int()> step) { return start(std::move(step)).get(); }

  pthread_t id() { return thread_.native_handle(); }

 private:
  void loop() {
    std::unique_lock<std::mutex> guard(mutex_);
    for (;;) {
      cond_.wait(guard, [this] { return stop_ || !steps_.empty(); });
      if (steps_.empty()) break;
      std::function<void()> step = std::move(steps_.front());
      steps_.pop_front();
      guard.unlock();
      step();
      guard.lock();
    }
    done_ = true;
    cond_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable cond_;
  std::deque<std::function<void()>> steps_;
  bool stop_ = false;
  bool done_ = false;
  std::thread thread_;
};

// Whether `future` is ready within `bound`.
inline bool readyWithin(std::future<int>& future,
                        std::chrono::milliseconds bound = std::chrono::seconds(10)) {
  return future.wait_for(bound) == std::future_status::ready;
}

}  // namespace ornutil_test

#endif
