#include "platform/linux/gnome/glib_thread.h"

#include <glib.h>

namespace qova {

GlibThread::GlibThread() : context_(g_main_context_new()), loop_(g_main_loop_new(context_, FALSE)) {
  std::promise<void> running;
  thread_ = std::thread([this, &running] {
    id_ = std::this_thread::get_id();
    g_main_context_push_thread_default(context_);
    running.set_value();
    g_main_loop_run(loop_);
    g_main_context_pop_thread_default(context_);
  });
  running.get_future().wait();
}

void GlibThread::stop() {
  if (!thread_.joinable()) return;
  post([loop = loop_] { g_main_loop_quit(loop); });
  thread_.join();
  g_main_loop_unref(loop_);
  g_main_context_unref(context_);
}

void GlibThread::post(std::function<void()> task) {
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    wake = tasks_.empty();
    tasks_.push_back(std::move(task));
  }
  if (!wake) return;
  // One source drains the whole queue, so tasks run in the order they were posted.
  GSource* source = g_idle_source_new();
  g_source_set_callback(
      source,
      [](gpointer self) -> gboolean {
        static_cast<GlibThread*>(self)->drain();
        return G_SOURCE_REMOVE;
      },
      this, nullptr);
  g_source_attach(source, context_);
  g_source_unref(source);
}

void GlibThread::drain() {
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard lock(mutex_);
      if (tasks_.empty()) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

}  // namespace qova
