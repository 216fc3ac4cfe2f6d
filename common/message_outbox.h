#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/error.hpp>

namespace qova::common {

// What one WebSocket has still to send: messages that must arrive, in order and bounded in count
// and bytes, and at most one frame, which a newer frame replaces while it waits. A reader slower than the
// frames therefore gets fewer of them, and nothing piles up. Messages go before a waiting frame.
// Used on the socket's own thread; the owner keeps the stream alive while a write is pending by
// handing itself in.
template <class WebSocket>
class MessageOutbox {
 public:
  static constexpr std::size_t kMaxQueued = 256;
  // A reader that does not read may park this much, whatever the size of each message.
  static constexpr std::size_t kMaxQueuedBytes = 1u << 20;

  // `failed` runs when a write fails; the owner then closes its socket.
  MessageOutbox(WebSocket& ws, std::function<void()> failed) : ws_(ws), failed_(std::move(failed)) {}

  // False, with nothing queued, when kMaxQueued messages or kMaxQueuedBytes wait already: that reader
  // is not reading. A single message larger than the byte budget still passes when nothing waits.
  // `sent` runs once the message was written.
  bool push(std::string message, bool binary, std::shared_ptr<void> owner, std::function<void()> sent = {}) {
    if (closed_) return true;
    if (queue_.size() >= kMaxQueued || (!queue_.empty() && queuedBytes_ + message.size() > kMaxQueuedBytes)) return false;
    queuedBytes_ += message.size();
    queue_.push_back({std::move(message), binary, std::move(sent)});
    if (!writing_) next(std::move(owner));
    return true;
  }

  void frame(std::shared_ptr<const std::string> frame, std::shared_ptr<void> owner) {
    if (closed_) return;
    pendingFrame_ = std::move(frame);
    if (!writing_) next(std::move(owner));
  }

  // Text messages that go out back to back, after the messages waiting now and before a frame (one
  // long text cut in pieces). A newer series replaces one still waiting, never one under way, so a
  // reader gets each series it gets whole; its bytes are shared, not counted against the budget.
  void series(std::shared_ptr<const std::vector<std::string>> messages, std::shared_ptr<void> owner) {
    if (closed_ || !messages || messages->empty()) return;
    pendingSeries_ = std::move(messages);
    if (!writing_) next(std::move(owner));
  }

  // From now on every message and frame leaves as one binary message made by `sealer` from it and its
  // kind, at the moment it is written: sealed messages must go out in the order they were sealed in.
  void seal(std::function<std::string(std::string_view data, bool binary)> sealer) { sealer_ = std::move(sealer); }

  // Drops everything waiting; later messages are ignored.
  void close() {
    closed_ = true;
    queue_.clear();
    queuedBytes_ = 0;
    pendingFrame_.reset();
    pendingSeries_.reset();
    series_.reset();
  }

 private:
  struct Entry {
    std::string data;
    bool binary;
    std::function<void()> sent;
  };

  void next(std::shared_ptr<void> owner) {
    if (closed_) return;
    auto done = [this, owner](boost::beast::error_code error, std::size_t) {
      writing_ = false;
      writingFrame_.reset();
      writingSeries_.reset();
      auto sent = std::move(writingEntry_.sent);
      writingEntry_ = {};
      if (error) return failed_();
      if (sent) sent();
      next(owner);
    };
    if (!queue_.empty()) {
      writing_ = true;
      writingEntry_ = std::move(queue_.front());
      queue_.pop_front();
      queuedBytes_ -= writingEntry_.data.size();
      if (sealer_) {
        writingEntry_ = {sealer_(writingEntry_.data, writingEntry_.binary), true, std::move(writingEntry_.sent)};
      }
      ws_.binary(writingEntry_.binary);
      ws_.async_write(boost::asio::buffer(writingEntry_.data), std::move(done));
    } else if (series_ || pendingSeries_) {
      if (!series_) series_ = std::move(pendingSeries_), seriesNext_ = 0;
      writing_ = true;
      const auto& message = (*series_)[seriesNext_];
      // Its bytes outlive the series' place here until the write is done.
      writingSeries_ = series_;
      if (++seriesNext_ == series_->size()) series_.reset();
      if (sealer_) {
        writingEntry_ = {sealer_(message, false), true, {}};
        ws_.binary(true);
        ws_.async_write(boost::asio::buffer(writingEntry_.data), std::move(done));
        return;
      }
      ws_.binary(false);
      ws_.async_write(boost::asio::buffer(message), std::move(done));
    } else if (pendingFrame_) {
      writing_ = true;
      writingFrame_ = std::move(pendingFrame_);
      if (sealer_) writingFrame_ = std::make_shared<const std::string>(sealer_(*writingFrame_, true));
      ws_.binary(true);
      ws_.async_write(boost::asio::buffer(*writingFrame_), std::move(done));
    }
  }

  WebSocket& ws_;
  std::function<void()> failed_;
  std::function<std::string(std::string_view, bool)> sealer_;
  std::deque<Entry> queue_;
  std::size_t queuedBytes_ = 0;
  Entry writingEntry_;
  std::shared_ptr<const std::string> pendingFrame_;
  std::shared_ptr<const std::string> writingFrame_;
  std::shared_ptr<const std::vector<std::string>> pendingSeries_;
  std::shared_ptr<const std::vector<std::string>> series_;  // under way: seriesNext_ is its next piece
  std::shared_ptr<const std::vector<std::string>> writingSeries_;
  std::size_t seriesNext_ = 0;
  bool writing_ = false;
  bool closed_ = false;
};

}  // namespace qova::common
