#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;

namespace qova {

// A thread running a GLib main loop of its own context, which it makes the thread's default, so
// that GDBus calls and signals made there are served there. Work posted from any other thread runs on
// it in the order posted.
class GlibThread {
 public:
  GlibThread();
  // Runs what is posted, then ends the thread.
  ~GlibThread() { stop(); }
  GlibThread(const GlibThread&) = delete;
  GlibThread& operator=(const GlibThread&) = delete;

  void post(std::function<void()> task);
  // Runs `task` on the thread and waits for its result, at most `timeout`: nullopt then.
  template <class Result>
  std::optional<Result> call(std::function<Result()> task, std::chrono::milliseconds timeout) {
    auto promise = std::make_shared<std::promise<Result>>();
    auto future = promise->get_future();
    post([promise, task = std::move(task)] { promise->set_value(task()); });
    if (future.wait_for(timeout) != std::future_status::ready) return std::nullopt;
    return future.get();
  }
  // Runs what was posted before, then ends the thread and waits for it. Once only; any thread but it.
  void stop();
  bool isCurrent() const { return std::this_thread::get_id() == id_; }
  GMainContext* context() const { return context_; }

 private:
  void drain();

  GMainContext* context_;
  GMainLoop* loop_;
  std::thread::id id_;
  std::thread thread_;
  std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;
};

}  // namespace qova
