// The real application on the test's X server: its window is found, measured, photographed on each
// tab (the PNGs are kept under <build>/test-artifacts) and the pictures are checked.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QImage>
#include <QProcess>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "support/test_bundle.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

namespace qova::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kWidth = 500;
constexpr int kHeight = 380;
// The tab bar's band in window coordinates: the card's top is 18 below the window's, the tab view's
// top 86 below the card's, and the bar fills the tab view's top 28 pixels.
constexpr int kTabBandTop = 18 + 86;
constexpr int kTabBandHeight = 28;
// The scroll view of the files tab in window coordinates (tab page top is the band's bottom).
constexpr int kPageTop = kTabBandTop + kTabBandHeight;
const QRect kFileListArea(18 + 14 + 18, kPageTop + (218 - 150), 394, 138);

fs::path artifactsDir() {
  const fs::path dir = fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "test-artifacts";
  fs::create_directories(dir);
  return dir;
}

int gray(QRgb pixel) { return qGray(pixel); }

struct Display_ {
  Display* display = XOpenDisplay(nullptr);
  ~Display_() {
    if (display) XCloseDisplay(display);
  }
};

std::optional<long> cardinalProperty(Display* display, Window window, const char* name) {
  const Atom property = XInternAtom(display, name, True);
  if (property == None) return std::nullopt;
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::optional<long> value;
  if (XGetWindowProperty(display, window, property, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after, &data) ==
          Success &&
      data && count == 1 && format == 32) {
    value = *reinterpret_cast<long*>(data);
  }
  if (data) XFree(data);
  return value;
}

std::string utf8Property(Display* display, Window window, const char* name) {
  const Atom property = XInternAtom(display, name, True);
  const Atom utf8 = XInternAtom(display, "UTF8_STRING", True);
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::string value;
  if (property != None &&
      XGetWindowProperty(display, window, property, 0, 1024, False, utf8, &type, &format, &count, &after, &data) ==
          Success &&
      data) {
    value.assign(reinterpret_cast<char*>(data), count);
  }
  if (data) XFree(data);
  return value;
}

// The viewable top-level window of the process.
std::optional<Window> findWindow(Display* display, pid_t pid) {
  Window root = DefaultRootWindow(display), parent = 0, *children = nullptr;
  unsigned count = 0;
  std::optional<Window> found;
  if (!XQueryTree(display, root, &root, &parent, &children, &count)) return std::nullopt;
  for (unsigned i = 0; i < count; ++i) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, children[i], &attributes) || attributes.map_state != IsViewable) continue;
    if (cardinalProperty(display, children[i], "_NET_WM_PID") == pid && attributes.width > 10) found = children[i];
  }
  if (children) XFree(children);
  return found;
}

QImage capture(Display* display, Window window) {
  XWindowAttributes attributes;
  XGetWindowAttributes(display, window, &attributes);
  XImage* image = XGetImage(display, window, 0, 0, static_cast<unsigned>(attributes.width),
                            static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
  if (!image) return {};
  QImage result(attributes.width, attributes.height, QImage::Format_RGB32);
  for (int y = 0; y < attributes.height; ++y) {
    for (int x = 0; x < attributes.width; ++x) result.setPixel(x, y, static_cast<QRgb>(XGetPixel(image, x, y)));
  }
  XDestroyImage(image);
  return result;
}

// Waits until two pictures 150 ms apart agree, so a picture is never taken mid-paint.
QImage stableCapture(Display* display, Window window) {
  QImage previous = capture(display, window);
  for (int i = 0; i < 40; ++i) {
    std::this_thread::sleep_for(150ms);
    QImage next = capture(display, window);
    if (next == previous) return next;
    previous = next;
  }
  return previous;
}

struct Tab {
  int left;
  int right;
  int shade;  // the tab's fill; the selected tab is the lightest
};

// Tabs along a row of the bar band: runs of fill between border pixels, on the white card.
std::vector<Tab> findTabs(const QImage& image) {
  const int y = kTabBandTop + kTabBandHeight - 3;
  std::vector<int> borders;
  for (int x = 0; x < image.width(); ++x) {
    const int value = gray(image.pixel(x, y));
    const bool border = value < 200;
    if (border && (borders.empty() || borders.back() != x - 1)) borders.push_back(x);
    if (border && !borders.empty()) borders.back() = x;
  }
  std::vector<Tab> tabs;
  for (size_t i = 1; i < borders.size(); ++i) {
    const int left = borders[i - 1] + 1;
    const int right = borders[i] - 1;
    if (right - left < 10) continue;
    const int shade = gray(image.pixel((left + right) / 2, y));
    if (shade == 255) continue;  // the card between two separate things, not a tab
    tabs.push_back({left, right, shade});
  }
  return tabs;
}

int selectedTab(const std::vector<Tab>& tabs) {
  int best = -1;
  for (size_t i = 0; i < tabs.size(); ++i) {
    if (best < 0 || tabs[i].shade > tabs[static_cast<size_t>(best)].shade) best = static_cast<int>(i);
  }
  return best;
}

void expectNotBlank(const QImage& image) {
  std::set<QRgb> colours;
  int dark = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      colours.insert(image.pixel(x, y));
      if (gray(image.pixel(x, y)) < 100) ++dark;
    }
  }
  EXPECT_GT(colours.size(), 50u);  // text is anti-aliased: a drawn window has many shades
  EXPECT_GT(dark, 500);            // and some dark text
}

void click(Display* display, Window window, int x, int y) {
  Window child;
  int rootX = 0, rootY = 0;
  XTranslateCoordinates(display, window, DefaultRootWindow(display), x, y, &rootX, &rootY, &child);
  XTestFakeMotionEvent(display, -1, rootX, rootY, CurrentTime);
  XTestFakeButtonEvent(display, 1, True, CurrentTime);
  XTestFakeButtonEvent(display, 1, False, CurrentTime);
  XFlush(display);
}

void writeFile(const fs::path& path, size_t bytes, time_t mtime) {
  std::ofstream(path) << std::string(bytes, 'x');
  const timespec times[2] = {{mtime, 0}, {mtime, 0}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

class RunningApplication : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(x.display);
    // The application is copied into a bundle whose agent is the test agent, which answers the
    // identity query.
    const fs::path app = fs::path(bundle.bundle()) / "Contents/MacOS/QOVA Lumaro Agent";
    fs::create_directories(app.parent_path());
    fs::copy_file(QOVA_APP_PATH, app);
    bundle.setScript({"write 设备 ID: 123 456 789\\n验证码: ab12cd\\n服务器: relay.example.com:21116\\n"});

    home = fs::path(bundle.root()) / "home";
    const fs::path received = home / "Downloads/QOVA-Lumaro";
    fs::create_directories(received);
    writeFile(received / "季度报告.pdf", 532'400, 1704164640);
    writeFile(received / "screenshot-2024-01-02.png", 1'500'000, 1704168000);
    writeFile(received / "a very long file name that has to be shortened in the middle.tar.gz", 2'254'000'000 / 1000,
              1704100000);
    writeFile(received / ".hidden", 1, 1704169000);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", QString::fromStdString(home.string()));
    environment.insert("TZ", "UTC0");
    process.setProcessEnvironment(environment);
    process.setProgram(QString::fromStdString(app.string()));
    process.start();
    ASSERT_TRUE(process.waitForStarted(10000));
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!window && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(100ms);
      window = findWindow(x.display, static_cast<pid_t>(process.processId()));
    }
    ASSERT_TRUE(window) << "the application showed no window";
  }
  void TearDown() override {
    if (process.state() != QProcess::NotRunning) {
      process.terminate();
      if (!process.waitForFinished(10000)) process.kill();
      process.waitForFinished(5000);
    }
  }

  Display_ x;
  TestBundle bundle;
  fs::path home;
  QProcess process;
  std::optional<Window> window;
};

TEST_F(RunningApplication, EachTabIsDrawnInTheFixedWindow) {
  XWindowAttributes attributes;
  ASSERT_TRUE(XGetWindowAttributes(x.display, *window, &attributes));
  EXPECT_EQ(attributes.width, kWidth);
  EXPECT_EQ(attributes.height, kHeight);
  EXPECT_EQ(utf8Property(x.display, *window, "_NET_WM_NAME"), "QOVA Lumaro Agent");
  // Fixed size: the size hints say so to any window manager.
  XSizeHints hints{};
  long supplied = 0;
  ASSERT_TRUE(XGetWMNormalHints(x.display, *window, &hints, &supplied));
  EXPECT_TRUE((hints.flags & PMinSize) && (hints.flags & PMaxSize));
  EXPECT_EQ(hints.min_width, kWidth);
  EXPECT_EQ(hints.max_width, kWidth);
  EXPECT_EQ(hints.min_height, kHeight);
  EXPECT_EQ(hints.max_height, kHeight);

  const char* names[] = {"window-device.png", "window-permissions.png", "window-files.png"};
  std::vector<QImage> shots;
  QImage shot = stableCapture(x.display, *window);
  std::vector<Tab> tabs = findTabs(shot);
  ASSERT_EQ(tabs.size(), 3u);
  EXPECT_EQ(selectedTab(tabs), 0);
  for (int index = 0; index < 3; ++index) {
    SCOPED_TRACE(names[index]);
    if (index > 0) {
      click(x.display, *window, (tabs[static_cast<size_t>(index)].left + tabs[static_cast<size_t>(index)].right) / 2,
            kTabBandTop + kTabBandHeight / 2);
      shot = stableCapture(x.display, *window);
    }
    ASSERT_EQ(shot.size(), QSize(kWidth, kHeight));
    EXPECT_TRUE(shot.save(QString::fromStdString((artifactsDir() / names[index]).string())));
    expectNotBlank(shot);
    const auto seen = findTabs(shot);
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_EQ(selectedTab(seen), index);
    for (const QImage& earlier : shots) EXPECT_NE(shot, earlier);
    shots.push_back(shot);
  }

  // The files tab lists the three visible files as rows of their own colour, newest on top.
  int rowPixels = 0;
  for (int y = kFileListArea.top(); y <= kFileListArea.bottom(); ++y) {
    for (int x = kFileListArea.left(); x <= kFileListArea.right(); ++x) {
      if (QColor(shots[2].pixel(x, y)) == QColor(246, 249, 252)) ++rowPixels;
    }
  }
  EXPECT_GT(rowPixels, 2 * 300 * 40);
}

TEST_F(RunningApplication, ClosingTheWindowHidesItAndTheApplicationGoesOn) {
  const Atom protocols = XInternAtom(x.display, "WM_PROTOCOLS", False);
  const Atom deleteWindow = XInternAtom(x.display, "WM_DELETE_WINDOW", False);
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = *window;
  event.xclient.message_type = protocols;
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(deleteWindow);
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(x.display, *window, False, NoEventMask, &event);
  XFlush(x.display);

  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (findWindow(x.display, static_cast<pid_t>(process.processId())) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_FALSE(findWindow(x.display, static_cast<pid_t>(process.processId())));
  EXPECT_FALSE(process.waitForFinished(1500));
  EXPECT_EQ(process.state(), QProcess::Running);
}

}  // namespace
}  // namespace qova::test
