// The Qt backend on the test's X server: the main queue, the controls, and the workspace against real
// helpers (a stand-in xdg-open on PATH, a private D-Bus bus with a file manager object on it).
#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QUrl>

#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "platform/linux/posix/posix_workspace.h"
#include "platform/qt/qt_controls.h"
#include "platform/qt/qt_main_queue.h"
#include "platform/qt/qt_workspace.h"
#include "test_screen.h"

namespace qova::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(QtMainQueue, WorkRunsOnTheMainThreadInOrderDelayedNoEarlierThanAskedAndTimersUntilInvalidated) {
  QtMainQueue queue;
  int ticks = 0;
  auto timer = queue.scheduleRepeating(20ms, [&] { ++ticks; });
  QElapsedTimer clock;
  clock.start();
  std::vector<int> order;
  int offMain = 0;
  qint64 delayedAt = -1;
  qint64 mainDelayedAt = -1;
  queue.postAfter(150ms, [&] { mainDelayedAt = clock.elapsed(); });  // a timer of the main thread itself
  std::thread([&] {
    EXPECT_FALSE(queue.isCurrent());
    queue.postAfter(200ms, [&] {
      delayedAt = clock.elapsed();
      offMain += !queue.isCurrent();
    });
    for (int i = 0; i < 100; ++i) {
      queue.post([&, i] {
        order.push_back(i);
        offMain += !queue.isCurrent();
      });
    }
  }).join();
  ASSERT_TRUE(pumpUntil([&] { return delayedAt >= 0; }));
  EXPECT_GE(delayedAt, 190);
  EXPECT_GE(mainDelayedAt, 140);
  EXPECT_EQ(order.size(), 100u);
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  EXPECT_EQ(offMain, 0);
  EXPECT_GE(ticks, 3);
  timer->invalidate();
  const int atInvalidate = ticks;
  pumpUntil([] { return false; }, 150ms);
  EXPECT_EQ(ticks, atInvalidate);
}

QLabel* labelWithText(const QString& text) {
  const auto widgets = QApplication::allWidgets();
  auto found = std::find_if(widgets.begin(), widgets.end(), [&](QWidget* w) {
    return qobject_cast<QLabel*>(w) && static_cast<QLabel*>(w)->text() == text;
  });
  return found == widgets.end() ? nullptr : static_cast<QLabel*>(*found);
}

TEST(QtControls, FramesFromTheBottomLeftAreFlippedOnceAgainstTheirParentsHeight) {
  const struct {
    const char* name;
    Rect box;
    Rect label;  // in the box
    QRect expected;
  } cases[] = {
      {"in a box filling the window", {0, 0, 300, 200}, {5, 10, 50, 20}, {5, 170, 50, 20}},
      {"in a smaller box", {10, 20, 200, 100}, {5, 10, 50, 20}, {15, 150, 50, 20}},
      {"at the top of a smaller box", {10, 20, 200, 100}, {0, 80, 200, 20}, {10, 80, 200, 20}},
  };
  QtControls controls;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto window = controls.makeWindow(300, 200);
    auto box = controls.makeView();
    auto label = controls.makeLabel(c.name);
    label->setFrame(c.label);  // before it has a parent
    box->addSubview(label);
    box->setFrame(c.box);  // after its child was placed
    window->contentView()->addSubview(box);
    QLabel* widget = labelWithText(c.name);
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(QRect(widget->mapTo(widget->window(), QPoint()), widget->size()), c.expected);
  }
}

TEST(QtControls, LabelsShowTheirTextPlainAndOnOneLineAndADisabledButtonDoesNothing) {
  QtControls controls;
  auto window = controls.makeWindow(300, 200);
  auto label = controls.makeLabel("<b>bold?</b>\nsecond line \u202eevil.exe");
  label->setFrame({0, 0, 60, 20});
  label->setTruncation(Truncation::middle);
  window->contentView()->addSubview(label);
  window->makeKeyAndOrderFront();
  QLabel* shown = labelWithText("<b>bold?</b> second line \u202eevil.exe");
  ASSERT_NE(shown, nullptr);
  EXPECT_EQ(shown->textFormat(), Qt::PlainText);
  shown->repaint();  // eliding a text with a right-to-left override

  auto button = controls.makeButton("x");
  int presses = 0;
  button->setAction([&] { ++presses; });
  button->setEnabled(false);
  button->performClick();
  button->setEnabled(true);
  button->performClick();
  EXPECT_EQ(presses, 1);
}

TEST(QtWorkspace, FileURLsKeepEveryByteOfThePath) {
  EXPECT_EQ(fileURLForPath("/tmp/a b/\xff\xfe #%.txt"), "file:///tmp/a%20b/%FF%FE%20%23%25.txt");
  EXPECT_EQ(fileURLForPath("/下载/x"), "file:///%E4%B8%8B%E8%BD%BD/x");
}

// The file manager's ShowItems, recorded and answered.
class FileManagerObject : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() != "ShowItems") return false;
    shown = message.arguments().value(0).toStringList();
    connection.send(message.createReply());
    return true;
  }
  QStringList shown;
};

TEST(QtWorkspace, RevealAsksTheFileManagerOverDBusAndOtherwiseOpensTheFolder) {
  TestBundle scratch;
  const fs::path folder = fs::path(scratch.root()) / "收到 的";
  const std::string file = (folder / "文件 1.txt").string();
  fs::create_directories(folder);
  std::ofstream(file) << "x";
  // A stand-in xdg-open first on PATH that records what it is given among the bundle's records. Qt
  // looks the opener up once per program, so this is the only test that opens anything.
  std::ofstream(scratch.root() + "/xdg-open") << "#!/bin/sh\necho \"$1\" >> \"$QOVA_TEST_AGENT_RECORD/opened\"\n";
  fs::permissions(scratch.root() + "/xdg-open", fs::perms::owner_all);
  qputenv("PATH", QByteArray::fromStdString(scratch.root()) + ":" + qgetenv("PATH"));
  auto openedFolders = [&] { return scratch.recordLines("opened"); };

  QProcess bus;  // a private bus, so the test neither needs nor disturbs a desktop session
  bus.start("dbus-daemon", {"--session", "--nofork", "--nopidfile", "--print-address=1"});
  ASSERT_TRUE(bus.waitForStarted(5000) && bus.waitForReadyRead(5000));
  const QString address = QString::fromUtf8(bus.readLine()).trimmed();
  QtWorkspace workspace(std::make_shared<PosixWorkspace>(), address);
  // Off the main thread, as the application asks; this thread serves the file manager meanwhile.
  auto reveal = [&](const std::string& path) {
    auto done = std::async(std::launch::async, [&] { return workspace.revealFile(path); });
    pumpUntil([&] { return done.wait_for(0s) == std::future_status::ready; }, 10s);
    return done.get();
  };

  EXPECT_FALSE(reveal(folder.string() + "/gone.txt"));
  EXPECT_TRUE(reveal(file));  // no file manager on the bus
  EXPECT_TRUE(pumpUntil([&] { return !openedFolders().empty(); }));
  EXPECT_EQ(QUrl(openedFolders().at(0).c_str()).toLocalFile().toStdString(), folder.string());
  EXPECT_EQ(openedFolders().size(), 1u);

  QDBusConnection service = QDBusConnection::connectToBus(address, "file-manager");
  FileManagerObject fileManager;
  ASSERT_TRUE(service.registerVirtualObject("/org/freedesktop/FileManager1", &fileManager));
  ASSERT_TRUE(service.registerService("org.freedesktop.FileManager1"));
  EXPECT_TRUE(reveal(file));
  EXPECT_TRUE(pumpUntil([&] { return !fileManager.shown.isEmpty(); }));
  EXPECT_EQ(fileManager.shown, QStringList{fileURLForPath(file)});
  pumpUntil([] { return false; }, 300ms);
  EXPECT_EQ(openedFolders().size(), 1u);  // and nothing else was opened
  QDBusConnection::disconnectFromBus("file-manager");
  bus.terminate();
  bus.waitForFinished(5000);
}

}  // namespace
}  // namespace qova::test
