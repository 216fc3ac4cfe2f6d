#include "ui/received_file_row.h"

#include <utility>

#include "platform/controls.h"
#include "ui/file_action_button.h"
#include "ui/received_file_list.h"

namespace qova {

namespace {
constexpr double kRowHeight = 52;
const Color kRowBackground = Color::calibratedRGB(0.965, 0.976, 0.988);
}  // namespace

std::shared_ptr<View> makeReceivedFileRow(Controls& controls, const ReceivedFileEntry& entry,
                                          const std::function<void(const FileActionButton*)>& open,
                                          const std::function<void(const FileActionButton*)>& locate) {
  auto row = controls.makeView();
  row->setFrame({0, 0, 374, kRowHeight});
  row->setBackgroundColor(kRowBackground);
  row->setCornerRadius(6);

  auto name = controls.makeLabel(entry.name);
  name->setFont(Font::boldSystem(12));
  name->setTextColor(Color::primaryLabel());
  name->setTruncation(Truncation::middle);
  name->setFrame({10, 27, 220, 18});
  row->addSubview(name);

  auto detail = controls.makeLabel(formatFileSize(entry.size) + "  " + formatFileDate(toLocalDateTime(entry.modified)));
  detail->setFont(Font::system(11));
  detail->setTextColor(Color::secondaryLabel());
  detail->setTruncation(Truncation::tail);
  detail->setFrame({10, 8, 220, 16});
  row->addSubview(detail);

  const std::pair<const char*, const std::function<void(const FileActionButton*)>*> buttons[] = {{"打开", &open},
                                                                                                 {"定位", &locate}};
  double x = 236;
  for (const auto& [title, handler] : buttons) {
    auto button = controls.makeButton(title);
    auto sender = std::make_shared<FileActionButton>(button);
    sender->fileURL = entry.url;
    button->setAction([sender, handler = *handler] { handler(sender.get()); });
    button->setFrame({x, 12, 54, 28});
    row->addSubview(button);
    x += 64;
  }
  return row;
}

}  // namespace qova
