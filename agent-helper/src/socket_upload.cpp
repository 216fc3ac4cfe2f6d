#include "socket_upload.h"

#include <nlohmann/json.hpp>

#include "file_names.h"
#include "upload_sink.h"

namespace qova::agent {

SocketUpload::SocketUpload(std::string folder, std::uint64_t maxBytes, std::function<void(std::string)> answer,
                           std::function<void(const std::string&)> stored)
    : folder_(std::move(folder)), maxBytes_(maxBytes), answer_(std::move(answer)), stored_(std::move(stored)) {}

SocketUpload::~SocketUpload() = default;

void SocketUpload::announce(const nlohmann::json& message) {
  const auto name = message.find("name");
  const auto size = message.find("size");
  if (sink_ || name == message.end() || !name->is_string() || size == message.end() || !size->is_number_unsigned()) {
    return reply(false, "bad upload");
  }
  left_ = size->get<std::uint64_t>();
  if (left_ > maxBytes_) return reply(false, "too large");
  sink_ = UploadSink::open(folder_, sanitizeFileName(name->get<std::string>()), maxBytes_);
  if (!sink_) return reply(false, "cannot store");
  if (left_ == 0) finish();
}

void SocketUpload::bytes(std::string_view data) {
  // Bytes without an announced file, or more than announced, end only that upload.
  if (!sink_ || data.size() > left_ || !sink_->write(data)) return reply(false, "not stored");
  left_ -= data.size();
  if (left_ == 0) finish();
}

void SocketUpload::finish() {
  const auto path = sink_->commit();
  sink_.reset();
  if (!path) return reply(false, "cannot store");
  stored_(*path);
  reply(true, path->substr(path->rfind('/') + 1));
}

void SocketUpload::reply(bool ok, const std::string& detail) {
  if (!ok) sink_.reset();
  answer_(nlohmann::json{{"type", "upload"}, {"ok", ok}, {ok ? "name" : "error", detail}}.dump(
      -1, ' ', false, nlohmann::json::error_handler_t::replace));
}

}  // namespace qova::agent
