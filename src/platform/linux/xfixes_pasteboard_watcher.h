#pragma once

#include <memory>

#include "platform/pasteboard.h"

namespace qova {

// Watches the X server's CLIPBOARD selection on a connection and thread of its own: XFixes tells of
// every new owner, which is asked for the text as UTF8_STRING (in pieces when it sends them
// incrementally). A server without XFixes, or one that goes away, ends the watching with one line
// in the log. Owners that do not answer within two seconds are passed over.
class XFixesPasteboardWatcher : public PasteboardWatcher {
 public:
  XFixesPasteboardWatcher();
  ~XFixesPasteboardWatcher() override;
  XFixesPasteboardWatcher(const XFixesPasteboardWatcher&) = delete;
  XFixesPasteboardWatcher& operator=(const XFixesPasteboardWatcher&) = delete;

  void watchPasteboard(std::function<void(std::string)> changed, size_t maxBytes) override;
  void stopWatchingPasteboard() override;

 private:
  class Watch;
  std::unique_ptr<Watch> watch_;
};

}  // namespace qova
