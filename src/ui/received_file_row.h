#pragma once

#include <functional>
#include <memory>

namespace qova {

class Controls;
class View;
class FileActionButton;
struct ReceivedFileEntry;

// Main thread. One row of the received files list: name, size and date, and the "打开" and "定位"
// buttons, which hand their FileActionButton (carrying the entry's file) to `open` and `locate`.
std::shared_ptr<View> makeReceivedFileRow(Controls& controls, const ReceivedFileEntry& entry,
                                          const std::function<void(const FileActionButton*)>& open,
                                          const std::function<void(const FileActionButton*)>& locate);

}  // namespace qova
