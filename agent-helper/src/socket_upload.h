#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace qova::agent {

class UploadSink;

// A file a viewer sends over its own WebSocket: announced by {"type":"upload","name","size"}, then
// its bytes in binary messages, one file at a time. Each file is answered once, stored or not.
class SocketUpload {
 public:
  // `answer` gets the text to send the viewer; `stored` the path of each completed file.
  SocketUpload(std::string folder, std::uint64_t maxBytes, std::function<void(std::string)> answer,
               std::function<void(const std::string&)> stored);
  ~SocketUpload();

  void announce(const nlohmann::json& message);
  void bytes(std::string_view data);

 private:
  void finish();
  void reply(bool ok, const std::string& detail);

  std::string folder_;
  std::uint64_t maxBytes_;
  std::function<void(std::string)> answer_;
  std::function<void(const std::string&)> stored_;
  std::unique_ptr<UploadSink> sink_;
  std::uint64_t left_ = 0;
};

}  // namespace qova::agent
