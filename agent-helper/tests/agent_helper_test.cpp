// The agent's pure parts first, then the built program itself, driven as the application drives it
// (lines on its pipes) and as viewers, well-meaning or not, do (WebSocket and HTTP on loopback).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <array>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "access_guard.h"
#include "agent_identity.h"
#include "file_names.h"
#include "input_stream_parser.h"
#include "line_writer.h"
#include "upload_sink.h"
#include "viewer_command.h"

namespace qova::agent {
namespace {

using namespace common;

namespace fs = std::filesystem;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using nlohmann::json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ms = std::chrono::milliseconds;

struct TempFolder {
  std::string pattern = (fs::temp_directory_path() / "qova-agent-test-XXXXXX").string();
  fs::path folder = ::mkdtemp(pattern.data());
  ~TempFolder() { fs::remove_all(folder); }
};

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The permission bits of `path`, or 01000 when it cannot be read.
unsigned modeOf(const fs::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 01000;
}

TEST(AccessCodeMatches, OnlyTheExactCodeMatchesAndNoCodeLetsNobodyIn) {
  EXPECT_TRUE(accessCodeMatches("k7m2p9xa", "k7m2p9xa"));
  for (const char* given : {"k7m2p9xb", "k7m2p9x", "k7m2p9xak7m2p9xa", ""}) EXPECT_FALSE(accessCodeMatches("k7m2p9xa", given));
  EXPECT_FALSE(accessCodeMatches("", ""));
}

// The budget's refill and burst are tested at the viewer gate; here, the wait a refusal tells.
TEST(GuessLimiter, AfterAFloodTheNextAttemptIsJudgedWhenTold) {
  Clock::time_point now = Clock::time_point{} + 1h;
  GuessLimiter limiter{[&now] { return now; }};
  for (unsigned i = 0; i < GuessLimiter::kBurst; ++i) ASSERT_EQ(limiter.admit(), Clock::duration::zero()) << i;
  for (int i = 0; i < 5000; ++i, now += 600us) limiter.admit();
  const auto wait = limiter.admit();
  EXPECT_TRUE(wait > Clock::duration::zero() && wait <= GuessLimiter::kRefill);
  now += wait;
  EXPECT_EQ(limiter.admit(), Clock::duration::zero());
}

TEST(ListenAddress, ParsesHostAndPortFormsAndNamesAUrlABrowserHereCanOpen) {
  EXPECT_EQ(parseListenAddress("[::1]:7000"), (ListenAddress{"::1", 7000}));
  for (const char* bad : {"", "8080", "host:", "host:99999", "host:12ab", "::1:80", "[::1]80", "[::1"}) {
    EXPECT_FALSE(parseListenAddress(bad)) << bad;
  }
  EXPECT_EQ(viewerUrl({"::1", 80}), "http://[::1]:80/");
  EXPECT_EQ(viewerUrl({"0.0.0.0", 5000}), "http://127.0.0.1:5000/");
  for (const char* host : {"127.0.0.1", "127.9.8.7", "localhost", "[::1]"}) EXPECT_TRUE(isLoopbackHost(host)) << host;
  for (const char* host : {"127.evil.example", "192.168.1.2", "[::2]"}) EXPECT_FALSE(isLoopbackHost(host)) << host;
}

TEST(AccessCode, DeviceIdsAndCodesAreWellFormedAndDistinct) {
  const auto id = deviceIdFor("4f1c0a", 1000);
  EXPECT_TRUE(std::regex_match(id, std::regex("[1-9][0-9]{8}"))) << id;
  EXPECT_EQ(id, deviceIdFor("4f1c0a", 1000));
  EXPECT_NE(id, deviceIdFor("4f1c0a", 1001));
  EXPECT_NE(id, deviceIdFor("4f1c0b", 1000));
  std::uint32_t state = 12345;
  std::set<std::string> codes;
  for (int i = 0; i < 200; ++i) codes.insert(makeAccessCode([&state] { return state = state * 1664525u + 1013904223u; }));
  EXPECT_EQ(codes.size(), 200u);
  for (const auto& code : codes) EXPECT_TRUE(isWellFormedAccessCode(code)) << code;
  EXPECT_FALSE(isWellFormedAccessCode("abcdefg0"));  // 0 is left out: it reads like o
}

TEST(AccessCode, CreatedOnceKeptPrivateReusedAndReplacedWhenUnusable) {
  TempFolder folder;
  const auto file = folder.folder / "config" / "qova-lumaro-agent" / "state.json";
  std::uint32_t n = 0;
  const auto code = loadOrCreateAccessCode(file, [&n] { return n++ * 2654435761u; });
  EXPECT_TRUE(isWellFormedAccessCode(code));
  EXPECT_EQ(modeOf(file), 0600u);
  EXPECT_EQ(modeOf(file.parent_path()) & 0077, 0u);
  EXPECT_EQ(loadOrCreateAccessCode(file, [] { return 7u; }), code);
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), {}), 1);  // no stray temporary file
  for (const char* content : {"not json", "{\"accessCode\":42}", "{\"accessCode\":\"short\"}", "[]"}) {
    std::ofstream(file) << content;
    fs::permissions(file, fs::perms(0644));
    const auto replaced = loadOrCreateAccessCode(file, [] { return 3u; });
    EXPECT_TRUE(isWellFormedAccessCode(replaced) && readAccessCode(file) == replaced) << content;
    EXPECT_EQ(modeOf(file), 0600u) << content;
  }
}

TEST(SanitizeFileName, KeepsOnlyASafeVisibleBaseNameOrAPlainOneWhenNothingIsLeft) {
  const std::pair<const char*, const char*> cases[] = {
      {"report.pdf", "report.pdf"}, {"../../etc/passwd", "passwd"}, {"C:\\Users\\me\\photo 1.jpg", "photo 1.jpg"},
      {"dir/.bashrc", "bashrc"}, {"..hidden..txt", "hidden..txt"}, {"a\nb\tc\177d.txt", "abcd.txt"},
      {"  spaced  ", "spaced"}, {"报告 2024.docx", "报告 2024.docx"}, {"bad\xFF\xFEname", "bad__name"},
      {"over\xC0\xAFlong", "over__long"},                                  // overlong "/"
      {"line\xE2\x80\xA8sep", "line___sep"}, {"c1\xC2\x85x", "c1__x"},     // U+2028, U+0085
      {"invoice\xE2\x80\xAEtxt.exe", "invoicetxt.exe"},                    // U+202E shows it as "invoiceexe.txt"
      {"\xEF\xBB\xBFzero\xE2\x80\x8Bwidth\xC2\xAD.txt", "zerowidth.txt"},  // U+FEFF, U+200B, U+00AD
      {"tag\xF3\xA0\x80\x81.txt", "tag.txt"},                              // U+E0001
      {"", "file"}, {".", "file"}, {"..", "file"}, {"/", "file"}, {"dir/..", "file"}, {" . ", "file"},
      {"\x01\x02", "file"}, {"\xE2\x80\xAE", "file"},
  };
  for (const auto& [given, stored] : cases) EXPECT_EQ(sanitizeFileName(given), stored) << '"' << given << '"';
}

TEST(FileNames, LongNamesAreCutWholeKeepingTheExtensionNumbersGoBeforeItAndBrokenEscapesAreRefused) {
  const auto cut = sanitizeFileName(std::string(300, 'x') + ".tar.gz");
  EXPECT_TRUE(cut.size() <= kMaxStoredNameBytes && cut.ends_with(".gz")) << cut;
  std::string wide;
  for (int i = 0; i < 100; ++i) wide += "文";  // three bytes each
  const auto cutWide = sanitizeFileName(wide + ".txt");
  EXPECT_TRUE(cutWide.size() <= kMaxStoredNameBytes && cutWide.ends_with("文.txt") && (cutWide.size() - 4) % 3 == 0);
  EXPECT_EQ(numberedFileName("archive.tar.gz", 1), "archive.tar (1).gz");
  EXPECT_EQ(numberedFileName("README", 3), "README (3)");
  for (const char* broken : {"bad%2", "bad%", "bad%zz"}) EXPECT_FALSE(percentDecode(broken)) << broken;
}

std::string parserFrame(const std::string& jpeg) {
  return "__QOVA_FRAME_BYTES__{\"timestamp\":1700000000123,\"bytes\":" + std::to_string(jpeg.size()) +
         ",\"inputHeight\":900,\"width\":1280,\"inputWidth\":1440,\"height\":800}\n" + jpeg;
}

// JPEG-like bytes that hold line feeds, NULs and both markers: the end must come from "bytes".
const std::string kAwkwardJpeg = std::string("\xFF\xD8\n\n\0\x01", 6) +
                                 "__QOVA_PERMISSION__{\"screen\":false,\"input\":false}\n"
                                 "__QOVA_FRAME_BYTES__{\"bytes\":3}\nabc\xFF\xD9";

std::vector<InputStreamMessage> feedAll(InputStreamParser& parser, const std::string& stream, std::size_t piece) {
  std::vector<InputStreamMessage> out;
  for (std::size_t i = 0; i < stream.size(); i += piece) parser.feed(std::string_view(stream).substr(i, piece), out);
  return out;
}

const std::string kPictureLine = "__QOVA_PICTURE__{\"version\":1,\"tile\":32,\"cursor\":true,\"fps\":99}\n";

// An update of a 100x70 picture on the 32 grid: `rects` and `more` spliced into its header.
std::string parserUpdate(const std::string& rects, const std::string& more, std::size_t bytes, const std::string& payload) {
  return "__QOVA_UPDATE_BYTES__{\"width\":100,\"height\":70,\"inputWidth\":200,\"inputHeight\":140,\"rects\":[" +
         rects + "]" + more + ",\"bytes\":" + std::to_string(bytes) + "}\n" + payload;
}

TEST(InputStreamParser, FrameAndUpdateBodiesAreDelimitedByTheirByteCountsInEverySplit) {
  const auto shape = std::string("\n\0\xFF\n", 4) + "RGBA";
  const auto update = parserUpdate("[0,0,64,32,0," + std::to_string(kAwkwardJpeg.size()) + "],[64,32,36,38,1,3]",
                                   ",\"full\":true,\"cursor\":[10,-3,1],\"shape\":[5,2,1,1,0,8],\"timestamp\":7",
                                   kAwkwardJpeg.size() + 11, kAwkwardJpeg + "png" + shape);
  const auto stream = parserFrame(kAwkwardJpeg) + "__QOVA_PERMISSION__{\"input\":true,\"screen\":true}\n" +
                      parserFrame("xyz") + kPictureLine + update + parserUpdate("", "", 0, "");
  for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{64}, stream.size()}) {
    InputStreamParser parser;
    const auto messages = feedAll(parser, stream, piece);
    ASSERT_EQ(messages.size(), 6u) << "piece " << piece;
    const auto& picture = std::get<PictureAccepted>(messages[3]);
    EXPECT_EQ(std::tie(picture.tile, picture.fps, picture.cursor), std::make_tuple(32, 30, true));
    const auto& u = std::get<UpdateMessage>(messages[4]);
    EXPECT_EQ(std::tie(u.payload, u.full, u.inputWidth, u.timestamp), std::make_tuple(kAwkwardJpeg + "png", true, 200, std::int64_t{7}));
    ASSERT_TRUE(u.rects.size() == 2 && u.cursor && u.shape);
    EXPECT_EQ(std::tie(u.rects[1].x, u.rects[1].h, u.rects[1].kind, u.rects[1].length), std::make_tuple(64, 38, 1, std::size_t{3}));
    EXPECT_EQ(*u.cursor, (CursorPosition{10, -3, true}));
    EXPECT_EQ(std::tie(u.shape->serial, u.shape->width, u.shape->hotX, u.shape->rgba), std::make_tuple(std::int64_t{5}, 2, 1, shape));
    EXPECT_TRUE(std::get<UpdateMessage>(messages[5]).rects.empty());
    const auto& f = std::get<FrameMessage>(messages[0]);
    EXPECT_EQ(std::tie(f.jpeg, f.width, f.height, f.inputWidth, f.inputHeight, f.timestamp),
              std::make_tuple(kAwkwardJpeg, 1280, 800, 1440, 900, std::int64_t{1700000000123}));
    EXPECT_EQ(std::get<PermissionState>(messages[1]), (PermissionState{true, true}));
    EXPECT_EQ(std::get<FrameMessage>(messages[2]).jpeg, "xyz");
    EXPECT_EQ(parser.pendingBytes(), 0u);
  }
}

TEST(InputStreamParser, DropsGarbageAndMalformedMessagesAndKeepsTheFollowingOnes) {
  const std::vector<std::string> bad = {
      "noise\n\xFF\xFE partial __QOVA_PERM",
      "__QOVA_PERMISSION__{\"screen\":1,\"input\":true}\n",       // not a boolean
      "__QOVA_PERMISSION__{\"screen\":true}\n",                   // member missing
      "__QOVA_PERMISSION__[true,false]\n",                        // not an object
      "__QOVA_FRAME_BYTES__{\"width\":10,\"height\":10,\"inputWidth\":10,\"inputHeight\":10}\nXX",  // no bytes
      "__QOVA_FRAME_BYTES__{\"width\":10,\"height\":10,\"inputWidth\":10,\"inputHeight\":10,\"bytes\":2.5}\nXX",
      "__QOVA_FRAME_BYTES__{\"width\":0,\"height\":10,\"inputWidth\":10,\"inputHeight\":10,\"bytes\":2}\nXX",
      "__QOVA_FRAME_BYTES__{\"width\":10,\"height\":10,\"inputWidth\":10,\"inputHeight\":10,\"bytes\":-2}\nXX",
      "__QOVA_FRAME_BYTES__{cut off\nXX",
      parserUpdate("[0,0,32,32,0,2]", "", 2, "XX"),  // no picture accepted: no grid to check it on
      "__QOVA_PICTURE__{\"version\":0,\"tile\":32}\n" + parserUpdate("[0,0,32,32,0,2]", "", 2, "XX"),
      kPictureLine + parserUpdate("[16,0,32,32,0,2]", "", 2, "XX"),        // off the grid
      kPictureLine + parserUpdate("[0,0,40,32,0,2]", "", 2, "XX"),         // ragged inside the picture
      kPictureLine + parserUpdate("[64,32,64,38,0,2]", "", 2, "XX"),       // beyond the right edge
      kPictureLine + parserUpdate("[0,0,32,32,0,2]", "", 3, "XXX"),        // lengths do not add up
      kPictureLine + parserUpdate("", ",\"shape\":[1,2,2,0,0,15]", 15, std::string(15, 'X')),
      kPictureLine + parserUpdate("", ",\"shape\":[1,257,1,0,0,1028]", 1028, std::string(1028, 'X')),
      kPictureLine + parserUpdate("", ",\"cursor\":[1,2,3]", 0, ""),
  };
  for (const auto& message : bad) {
    InputStreamParser parser;
    auto messages = feedAll(parser, message + parserFrame("ok"), 3);
    std::erase_if(messages, [](const auto& m) { return std::holds_alternative<PictureAccepted>(m); });
    ASSERT_EQ(messages.size(), 1u) << message.substr(0, 200);
    EXPECT_EQ(std::get<FrameMessage>(messages[0]).jpeg, "ok") << message.substr(0, 200);
  }
}

TEST(InputStreamParser, HoldsLittleForOversizedFramesEndlessHeaderLinesAndMarkersSplitAcrossReads) {
  InputStreamParser parser(1000);
  std::vector<InputStreamMessage> out;
  parser.feed("__QOVA_FRAME_BYTES__{\"width\":1,\"height\":1,\"inputWidth\":1,\"inputHeight\":1,\"bytes\":1001}\n", out);
  parser.feed("__QOVA_PERMISSION__{\"screen\":false,\"input\":true}\n__QOVA_PERMISSION__{" + std::string(1 << 20, 'a'), out);
  EXPECT_LE(parser.pendingBytes(), InputStreamParser::kMaxHeaderLine + 64);
  parser.feed("\n" + kPictureLine + "__QOVA_UPDATE_BYTES__{" + std::string(1 << 20, 'a'), out);
  EXPECT_LE(parser.pendingBytes(), InputStreamParser::kMaxUpdateHeaderLine + 64);
  parser.feed("\n" + std::string(100000, 'g') + "__QOVA_FRAME_", out);
  EXPECT_LT(parser.pendingBytes(), 32u);
  parser.feed("BYTES__{\"width\":2,\"height\":2,\"inputWidth\":4,\"inputHeight\":4,\"bytes\":1}\nZ", out);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(std::get<PermissionState>(out[0]), (PermissionState{false, true}));
  EXPECT_EQ(std::get<FrameMessage>(out[2]).jpeg, "Z");
  EXPECT_EQ(std::get<FrameMessage>(out[2]).timestamp, 0);  // without one it is still a frame
}
// A line writer to a pipe whose first line is more than the pipe holds, so that what follows waits, as
// with an application that does not read. lines() drains it and returns what came after that line.
struct StalledWriter {
  int fds[2] = {-1, -1};
  std::unique_ptr<LineWriter> writer{(::pipe(fds), std::make_unique<LineWriter>(fds[1]))};
  StalledWriter() { writer->emit(std::string(256 * 1024, 'b')); }
  std::vector<std::string> lines() {
    std::string all;
    std::thread reader([&] {
      char chunk[65536];
      for (ssize_t n; (n = ::read(fds[0], chunk, sizeof chunk)) > 0;) all.append(chunk, static_cast<std::size_t>(n));
    });
    writer.reset();  // writes what is queued
    ::close(fds[1]), reader.join(), ::close(fds[0]);
    return splitLines(all.substr(all.find('\n') + 1));
  }
};

TEST(LineWriter, InputPastTheByteBoundIsDroppedRequiredLinesNeverAreAndRepeatsFold) {
  StalledWriter stalled;
  const std::string input(100 * 1024, 'i');
  std::size_t accepted = 0;
  for (int i = 0; i < 40; ++i) accepted += stalled.writer->emit(input, LineKind::Droppable);
  EXPECT_TRUE(accepted > 0 && accepted * input.size() <= LineWriter::kMaxQueuedBytes) << accepted;
  EXPECT_TRUE(stalled.writer->emit("required"));
  for (int i = 0; i < 5; ++i) stalled.writer->emit("wrong code", LineKind::Repeated);
  stalled.writer->emit("other", LineKind::Repeated);
  std::vector<std::string> expected(accepted, input);
  expected.insert(expected.end(), {"required", "wrong code (5 times)", "other"});
  EXPECT_EQ(stalled.lines(), expected);
}

TEST(LineWriter, NoticesOfManyTextsAreBoundedAndARepeatFoldsBehindAnyNumberShowingItsNewestDetail) {
  StalledWriter stalled;
  std::size_t accepted = 0;
  for (int i = 0; i < 20000; ++i) {
    stalled.writer->emit("login: wrong", LineKind::Repeated, "from 10.0.0." + std::to_string(i % 200));
    accepted += stalled.writer->emit("notice " + std::to_string(i), LineKind::Repeated);
  }
  EXPECT_EQ(accepted, LineWriter::kMaxQueuedNotices - 1);
  EXPECT_EQ(stalled.lines().front(), "login: wrong (20000 times, the last from 10.0.0.199)");
}

TEST(UploadSink, StoresForTheUserAloneUnderAFreeNameAndLeavesAFolderTheUserMadeAsItWas) {
  const auto store = [](const fs::path& folder, const std::string& name, const std::string& content) {
    auto sink = UploadSink::open(folder, name, 100);
    return sink && sink->write(content) ? std::optional<std::string>(sink->commit()) : std::nullopt;
  };
  const auto contentOf = [](const fs::path& p) { return std::string(std::istreambuf_iterator(std::ifstream(p).rdbuf()), {}); };
  TempFolder temp;
  const auto folder = temp.folder / "Downloads" / "received";
  EXPECT_EQ(store(folder, "报告.txt", "first"), (folder / "报告.txt").string());
  EXPECT_EQ(store(folder, "报告.txt", "second"), (folder / "报告 (1).txt").string());
  EXPECT_EQ(contentOf(folder / "报告.txt") + contentOf(folder / "报告 (1).txt"), "firstsecond");
  EXPECT_EQ((std::array{modeOf(folder / "报告.txt"), modeOf(folder), modeOf(folder.parent_path())}),
            (std::array{0600u, 0700u, 0700u}));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 2);  // no temporary file left
  const auto own = temp.folder / "own";
  fs::create_directory(own), fs::permissions(own, fs::perms(0755));
  ASSERT_TRUE(store(own, "a.txt", "x"));
  EXPECT_EQ((std::array{modeOf(own), modeOf(own / "a.txt")}), (std::array{0755u, 0600u}));
}

TEST(RemoveStaleUploads, RemovesOnlyOurTemporaryFilesOlderThanTheLimit) {
  TempFolder temp;
  const std::tuple<const char*, bool, bool> files[] = {  // name, aged, kept
      {".qova-upload-0123456789abcdef.part", true, false}, {".qova-upload-fedcba9876543210.part", false, true},
      {"notes.part", true, true}, {".qova-upload-0123456789abcdef.partial", true, true}, {"report.pdf", true, true}};
  for (const auto& [name, aged, kept] : files) {
    std::ofstream(temp.folder / name) << "x";
    if (aged) fs::last_write_time(temp.folder / name, fs::file_time_type::clock::now() - 2h);
  }
  removeStaleUploads(temp.folder, 1h);
  for (const auto& [name, aged, kept] : files) EXPECT_EQ(fs::exists(temp.folder / name), kept) << name;
}

constexpr InputSpace kSpace{1440, 900};
constexpr std::string_view kMarker = "__QOVA_INPUT__";

TEST(InputCommandLine, PassesOnlyWhatEachActionUsesWithinTheDisplayAndRefusesWhatTheApplicationMustNotSee) {
  const std::pair<const char*, const char*> cases[] = {  // event, command ("" when refused)
      {R"({"type":"input","action":"tap","x":640.04,"y":400,"button":"left","extra":1})",
       R"({"action":"tap","x":640.0,"y":400.0,"button":"left"})"},
      {R"({"action":"doubleTap","x":1,"y":2,"button":"RIGHT"})", R"({"action":"doubleTap","x":1,"y":2,"button":"left"})"},
      {R"({"action":"rightClick","x":5,"y":6,"button":"left"})", R"({"action":"rightClick","x":5.0,"y":6.0})"},
      {R"({"action":"dragStart","x":5,"y":6,"button":"right"})", R"({"action":"dragStart","x":5,"y":6,"button":"right"})"},
      {R"({"action":"dragMove","x":-50,"y":1e308})", R"({"action":"dragMove","x":0.0,"y":899.0})"},
      {R"({"action":"swipe","x":1,"y":2,"x2":3000,"y2":4,"durationMs":1e300})",
       R"({"action":"swipe","x":1.0,"y":2.0,"x2":1439.0,"y2":4.0,"durationMs":5000.0,"button":"left"})"},
      {R"({"action":"key","key":"a","modifiers":["ctrl","hyper","shift","ctrl"]})",
       R"({"action":"key","key":"a","modifiers":["ctrl","shift"]})"},
      {R"({"action":"key","key":"enter"})", R"({"action":"key","key":"enter","modifiers":[]})"},
      {R"({"action":"key","key":"q","modifiers":["ctrl","alt"],"char":"€"})",
       R"({"action":"key","key":"q","modifiers":["ctrl","alt"],"char":"€"})"},
      {R"({"action":"key","key":"a","char":"abcde"})", R"({"action":"key","key":"a","modifiers":[]})"},
      {R"({"action":"key","key":"a","char":7})", R"({"action":"key","key":"a","modifiers":[]})"},
      {R"({"action":"scroll","deltaY":2.9})", R"({"action":"scroll","deltaY":2})"},
      {R"({"action":"scroll","deltaY":-250})", R"({"action":"scroll","deltaY":-10})"},
      {R"({"action":"tap","x":"640","y":400})", ""}, {R"({"action":"tap","y":400})", ""},
      {R"({"action":"TAP","x":1,"y":1})", ""}, {R"({"action":"back"})", ""}, {R"({"x":1,"y":1})", ""}, {"[1,2]", ""},
      {R"({"action":"scroll","deltaY":0.4})", ""}, {R"({"action":"key","key":""})", ""},
      {R"({"action":"key","key":"a","modifiers":["shift",3]})", ""}, {R"({"action":"text","text":""})", ""},
  };
  for (const auto& [event, command] : cases) {
    const auto line = inputCommandLine(json::parse(event), kSpace);
    if (!*command) {
      EXPECT_FALSE(line) << event;
      continue;
    }
    ASSERT_TRUE(line && line->starts_with(kMarker)) << event;
    EXPECT_EQ(json::parse(line->substr(kMarker.size())), json::parse(command)) << event;
  }
  EXPECT_FALSE(inputCommandLine(json{{"action", "text"}, {"text", std::string(kMaxTextBytes + 1, 'a')}}, kSpace));
  // Before the first frame nobody knows where a position lies.
  EXPECT_FALSE(inputCommandLine(json::parse(R"({"action":"tap","x":1e308,"y":3})"), InputSpace{}));
}

TEST(InputCommandLine, TextStaysOneLineWhateverItHolds) {
  const std::string text = "line one\nline two\r\n\ttab \xE2\x80\xA8 sep \"quoted\" \xFF";
  const auto line = inputCommandLine(json{{"action", "text"}, {"text", text}}, kSpace);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->find_first_of("\r\n"), std::string::npos);
  EXPECT_TRUE(json::parse(line->substr(kMarker.size()))["text"].get<std::string>().starts_with("line one\nline two\r\n\ttab "));
}

int msLeft(Clock::time_point end) { return std::max<int>(0, std::chrono::duration_cast<ms>(end - Clock::now()).count()); }

// Reads `fd` into `into` until `enough`, the end (returns true) or `limit` (false).
bool readFd(int fd, std::string& into, ms limit, const std::function<bool()>& enough) {
  const auto end = Clock::now() + limit;
  for (char chunk[4096]; !enough();) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, msLeft(end)) <= 0) return false;
    const auto n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) return true;
    into.append(chunk, static_cast<std::size_t>(n));
  }
  return false;
}

// The agent as a child on pipes, with `argv` ("NAME=value" entries) set for it alone through env(1).
class AgentProcess {
 public:
  AgentProcess(const std::vector<std::string>& args, std::vector<std::string> argv) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) std::abort();
    argv.insert(argv.begin(), "/usr/bin/env");
    argv.push_back(QOVA_AGENT_HELPER_PATH);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    if ((pid_ = ::fork()) == 0) {  // only what is safe between fork and exec
      ::dup2(in[0], 0), ::dup2(out[1], 1), ::dup2(out[1], 2), ::execv(raw[0], raw.data()), ::_exit(127);
    }
    ::close(in[0]), ::close(out[1]);
    input_ = in[1], output_ = out[0];
  }
  ~AgentProcess() { ::close(output_), pid_ > 0 && (::kill(pid_, SIGTERM), wait()); }
  void write(const std::string& bytes) { ASSERT_EQ(::write(input_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  // Closes the agent's input (the application's way of ending it) and waits for its end.
  int wait() {
    int status = 0;
    ::close(std::exchange(input_, -1)), ::waitpid(std::exchange(pid_, -1), &status, 0);
    return status;
  }
  std::optional<std::string> waitForLine(const std::string& pattern, ms limit = 5s) {
    const std::regex re(pattern);
    std::optional<std::string> found;
    readFd(output_, text_, limit, [&] {
      for (std::size_t at = 0, nl; !found && (nl = text_.find('\n', at)) != std::string::npos; at = nl + 1) {
        if (std::regex_search(text_.substr(at, nl - at), re)) found = text_.substr(at, nl - at);
      }
      return bool(found);
    });
    return found;
  }
  std::vector<std::string> lines() {
    readFd(output_, text_, 200ms, [] { return false; });
    return splitLines(text_);
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1, output_ = -1;
  std::string text_;
};

std::string frameMessage(const std::string& jpeg) {
  const json header{{"width", 1280}, {"height", 800}, {"inputWidth", 1920}, {"inputHeight", 1080}, {"bytes", jpeg.size()}};
  return "__QOVA_FRAME_BYTES__" + header.dump() + "\n" + jpeg;
}

tcp::socket connectRaw(std::uint16_t port) {
  static net::io_context io;
  tcp::socket socket(io);
  socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
  return socket;
}

// What a plain socket receives until `enough` or `limit`, and whether the agent closed it.
std::pair<std::string, bool> readRaw(tcp::socket& socket, ms limit, std::function<bool(const std::string&)> enough = {}) {
  std::string received;
  const bool closed = readFd(socket.native_handle(), received, limit, [&] { return enough && enough(received); });
  return {received, closed};
}

class Viewer {
 public:
  // `host` is the address and port when empty.
  explicit Viewer(std::uint16_t port, const std::string& origin = "", const std::string& host = "",
                  const std::string& address = "127.0.0.1")
      : ws_(io_) {
    beast::get_lowest_layer(ws_).connect(tcp::endpoint(net::ip::make_address(address), port));
    ws_.set_option(websocket::stream_base::decorator([origin](websocket::request_type& request) {
      if (!origin.empty()) request.set(beast::http::field::origin, origin);
    }));
    ws_.handshake(host.empty() ? address + ":" + std::to_string(port) : host, "/ws");
  }
  void sendText(const std::string& text) { ws_.text(true), ws_.write(net::buffer(text)); }
  // The next message of `type`; a frame is {"type": "binary", "binary": bytes}.
  json readUntil(const std::string& type) {
    for (beast::flat_buffer buffer;; buffer.clear()) {
      ws_.read(buffer);
      const auto bytes = beast::buffers_to_string(buffer.data());
      const auto message = ws_.got_text() ? json::parse(bytes) : json{{"type", "binary"}, {"binary", bytes}};
      if (message.value("type", "") == type) return message;
    }
  }
  json login(const std::string& code) { return sendText(json{{"type", "auth"}, {"code", code}}.dump()), readUntil("auth"); }
  std::string auth(const std::string& code) { return login(code).value("token", ""); }  // "" when refused
  // Whether the agent closes the connection within `limit` (messages before the close are skipped);
  // nullopt when nothing at all came.
  std::optional<bool> closedWithin(ms limit) {
    beast::get_lowest_layer(ws_).expires_after(limit);
    for (bool any = false;; any = true) {
      beast::flat_buffer buffer;
      beast::error_code error;
      ws_.async_read(buffer, [&](beast::error_code e, std::size_t) { error = e; });
      io_.restart(), io_.run();
      if (error) return error == beast::error::timeout ? (any ? std::optional(false) : std::nullopt) : std::optional(true);
    }
  }
  websocket::stream<beast::tcp_stream>& stream() { return ws_; }

 private:
  net::io_context io_;
  websocket::stream<beast::tcp_stream> ws_;
};

std::string storedCode(const TempFolder& home) {
  return json::parse(std::ifstream(home.folder / ".config/qova-lumaro-agent/state.json"))["accessCode"];
}

// Written frames unless `picture`: most tests look at what all applications speak.
std::vector<std::string> agentEnvironment(const TempFolder& home, const std::string& listen, bool picture = false) {
  return {"HOME=" + home.folder.string(), "XDG_CONFIG_HOME=", "QOVA_AGENT_LISTEN=" + listen,
          "QOVA_AGENT_MAX_UPLOAD_BYTES=100000", "QOVA_MAC_SCREEN_TRUSTED=1", "QOVA_MAC_INPUT_TRUSTED=0",
          picture ? "QOVA_AGENT_PICTURE=1" : "QOVA_AGENT_PICTURE=0"};
}

class AgentServiceTest : public ::testing::Test {
 protected:
  explicit AgentServiceTest(bool picture = false) : agent_{{"--nogui"}, agentEnvironment(home_, ":0", picture)} {}
  void SetUp() override {
    const auto connected = agent_.waitForLine(R"(\[agent\] connected: viewer at http://127\.0\.0\.1:\d+/)");
    ASSERT_TRUE(connected);
    port_ = static_cast<std::uint16_t>(std::stoi(connected->substr(connected->rfind(':') + 1)));
    code_ = storedCode(home_);
  }
  fs::path received() const { return home_.folder / "Downloads/QOVA-Lumaro"; }
  std::size_t receivedCount() const {
    return exists(received()) ? std::distance(fs::directory_iterator(received()), {}) : 0;
  }
  // The status of the answer to an upload (which may come, and the socket close, before all is sent).
  unsigned post(const std::string& body, const std::string& headers) {
    auto socket = connectRaw(port_);
    boost::system::error_code error;
    net::write(socket, net::buffer("POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                                   std::to_string(body.size()) + "\r\n" + headers + "\r\n" + body), error);
    const auto answer = readRaw(socket, 5s, [](const std::string& text) { return text.size() >= 12; }).first;
    return answer.starts_with("HTTP/1.1 ") ? std::stoi(answer.substr(9, 3)) : 0;
  }

  TempFolder home_;
  AgentProcess agent_;
  std::uint16_t port_ = 0;
  std::string code_;
};

TEST(AgentIdentityRun, PrintsTheThreeLinesWithTheStoredCode) {
  TempFolder home;
  AgentProcess agent({"--show-id"}, agentEnvironment(home, "127.0.0.1:23456"));
  EXPECT_EQ(agent.wait(), 0);
  const auto lines = agent.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(设备 ID: \d{9})"))) << lines[0];
  EXPECT_EQ(lines[1], "验证码: " + storedCode(home));
  EXPECT_EQ(lines[2], "服务器: http://127.0.0.1:23456/");
}

TEST(AgentServiceRun, RefusesToStartWhenEitherLoopbackAddressIsTaken) {
  for (const char* taken : {"127.0.0.1", "::1"}) {
    net::io_context io;
    tcp::acceptor squatter(io, tcp::endpoint(net::ip::make_address(taken), 0));
    const auto port = std::to_string(squatter.local_endpoint().port());
    TempFolder home;
    AgentProcess agent({"--nogui"}, agentEnvironment(home, "127.0.0.1:" + port));
    const auto failed = agent.waitForLine("failed.*" + port);
    ASSERT_TRUE(failed) << taken;
    EXPECT_NE(failed->find(taken), std::string::npos) << *failed;
    EXPECT_NE(agent.wait(), 0) << taken;
  }
}

// The sanitizers' runtimes need descriptors of their own for their checks (a pipe to probe memory),
// so out of descriptors they report faults that are not there.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QOVA_SANITIZED 1
#endif
#endif

TEST(AgentServiceRun, OutOfDescriptorsItClosesNewcomersAtOnceAndServesAgainOnceSomeAreFree) {
#ifdef QOVA_SANITIZED
  GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
  TempFolder home;
  auto environment = agentEnvironment(home, ":0");
  // env(1) runs prlimit, which runs the agent with few descriptors: idle connections use them up.
  environment.insert(environment.end(), {"/usr/bin/prlimit", "--nofile=48"});
  AgentProcess agent({"--nogui"}, environment);
  const auto connected = agent.waitForLine(R"(connected: viewer at http://127\.0\.0\.1:\d+/)");
  ASSERT_TRUE(connected);
  const auto port = static_cast<std::uint16_t>(std::stoi(connected->substr(connected->rfind(':') + 1)));
  std::vector<tcp::socket> idle;
  for (int i = 0; i < 48; ++i) idle.push_back(connectRaw(port));
  EXPECT_EQ(readRaw(idle.back(), 2s), std::make_pair(std::string(), true));
  idle.clear();
  // The agent frees their descriptors as it sees them close; until then a newcomer is closed at once.
  bool served = false;
  for (int i = 0; i < 50 && !served; ++i, std::this_thread::sleep_for(100ms)) {
    try {
      served = !Viewer(port).auth(storedCode(home)).empty();
    } catch (const std::exception&) {
    }
  }
  EXPECT_TRUE(served);
}

TEST_F(AgentServiceTest, TheRightCodeGetsPermissionFramesAndInputAWrongOneNothing) {
  Viewer intruder(port_);
  EXPECT_EQ(intruder.login("wrongcod"), json::parse(R"({"type":"auth","ok":false})"));
  Viewer viewer(port_);
  ASSERT_FALSE(viewer.auth(code_).empty());
  EXPECT_EQ(viewer.readUntil("permission"),
            json::parse(R"({"type":"permission","known":true,"screen":true,"input":false})"));
  ASSERT_TRUE(agent_.waitForLine(R"(^__QOVA_CAPTURE__\{"action":"start"\}$)"));

  // Texts may overtake a frame on its way, so each is read on its own.
  agent_.write("__QOVA_PERMISSION__{\"input\":true,\"screen\":true}\n");
  EXPECT_EQ(viewer.readUntil("permission")["input"], true);
  agent_.write(frameMessage("JPEG"));
  const auto frame = viewer.readUntil("binary")["binary"].get<std::string>();
  const auto headerLength = std::size_t(std::uint8_t(frame[3]));
  ASSERT_EQ(frame.substr(0, 3), std::string(3, '\0'));
  EXPECT_EQ(json::parse(frame.substr(4, headerLength))["inputWidth"], 1920);
  EXPECT_EQ(frame.substr(4 + headerLength), "JPEG");

  viewer.sendText(R"({"type":"input","action":"tap","x":5000,"y":540.26})");
  EXPECT_TRUE(agent_.waitForLine(R"(^__QOVA_INPUT__\{"action":"tap","button":"left","x":1919\.0,"y":540\.3\})"));
  EXPECT_EQ(intruder.closedWithin(300ms), std::nullopt);  // no frame, no permission
}

TEST_F(AgentServiceTest, WrongCodesAreAnsweredLateEachOnItsOwnAndPastTheBudgetLoginsAreToldWhenToComeBack) {
  std::vector<std::unique_ptr<Viewer>> viewers;
  std::vector<std::future<std::pair<json, Clock::duration>>> answers;
  for (unsigned i = 0; i <= GuessLimiter::kBurst; ++i) {
    answers.push_back(std::async(std::launch::async, [viewer = viewers.emplace_back(new Viewer(port_)).get(), sent = Clock::now()] {
      return std::pair{viewer->login("wrongcod"), Clock::now() - sent};
    }));
  }
  std::vector<Clock::duration> judged;
  Viewer* toldToWait = nullptr;
  for (std::size_t i = 0; i < answers.size(); ++i) {
    const auto [answer, took] = answers[i].get();
    EXPECT_EQ(answer["ok"], false);
    if (!answer.contains("retryMs")) judged.push_back(took);
    if (!answer.contains("retryMs")) continue;
    toldToWait = viewers[i].get();
    EXPECT_TRUE(answer["retryMs"] > 0 && answer["retryMs"] <= GuessLimiter::kRefill.count()) << answer;
    std::this_thread::sleep_for(ms(answer["retryMs"].get<int>()));
  }
  ASSERT_EQ(judged.size(), GuessLimiter::kBurst);
  const auto [first, last] = std::minmax_element(judged.begin(), judged.end());
  EXPECT_GE(*first, GuessLimiter::kWrongCodeDelay);
  EXPECT_LT(*last - *first, GuessLimiter::kWrongCodeDelay);  // side by side, not one after the other
  ASSERT_TRUE(toldToWait);
  EXPECT_FALSE(toldToWait->auth(code_).empty());
}

TEST_F(AgentServiceTest, MessagesOutOfPlaceEndOnlyTheirOwnConnection) {
  Viewer good(port_);
  ASSERT_FALSE(good.auth(code_).empty());
  // Before the code, anything but a short login; a binary message.
  for (const std::string& message : {std::string(R"({"type":"input","action":"tap","x":1,"y":1})"),
                                     std::string("{not json"), std::string(R"({"type":"auth","code":7})"),
                                     json{{"type", "auth"}, {"code", std::string(300, 'a')}}.dump(), std::string()}) {
    Viewer viewer(port_);
    viewer.stream().binary(message.empty());
    viewer.stream().write(net::buffer(message.empty() ? std::string("\x00\x01", 2) : message));
    EXPECT_EQ(viewer.closedWithin(3s), true) << message;
  }
  // After it, a message over the limit (possibly closed before it is all sent).
  Viewer big(port_);
  ASSERT_FALSE(big.auth(code_).empty());
  beast::error_code error;
  big.stream().text(true);
  big.stream().write(net::buffer(R"({"type":"input","action":"text","text":")" + std::string(1 << 20, 'x') + "\"}"),
                     error);
  EXPECT_TRUE(error || big.closedWithin(5s) == true);
  {  // one that vanishes while a large frame is on its way to it
    Viewer vanishing(port_);
    ASSERT_FALSE(vanishing.auth(code_).empty());
    agent_.write(frameMessage(std::string(8 << 20, 'v')));
  }
  agent_.write(frameMessage("two"));
  for (std::string frame; frame.find("two") == std::string::npos;) frame = good.readUntil("binary")["binary"];
}

TEST_F(AgentServiceTest, WebSocketsFromForeignPagesAreRefusedAndLocalhostIsServedOnBothAddresses) {
  const auto port = std::to_string(port_);
  EXPECT_THROW(Viewer(port_, "http://evil.example"), boost::system::system_error);
  // A foreign name pointed at 127.0.0.1 (DNS rebinding): same-origin in the browser's eyes, refused.
  EXPECT_THROW(Viewer(port_, "http://rebound.example:" + port, "rebound.example:" + port), boost::system::system_error);
  EXPECT_FALSE(Viewer(port_, "http://127.0.0.1:" + port).auth(code_).empty());
  EXPECT_FALSE(Viewer(port_, "http://localhost:" + port, "localhost:" + port, "::1").auth(code_).empty());
}

TEST_F(AgentServiceTest, IdleConnectionsMakeWayForANewViewerOldestFirstAndAreLetGoSoon) {
  std::vector<tcp::socket> idle;
  for (int i = 0; i < 128; ++i) idle.push_back(connectRaw(port_));
  Viewer viewer(port_);
  EXPECT_FALSE(viewer.auth(code_).empty());
  EXPECT_TRUE(readRaw(idle.front(), 2s).second);
  Viewer silentViewer(port_);
  EXPECT_TRUE(readRaw(idle.back(), 8s).second);        // waiting for a request
  EXPECT_EQ(silentViewer.closedWithin(8s), true);  // waiting for a login
}

TEST_F(AgentServiceTest, MessagesSentRightBehindTheUpgradeRequestArrive) {
  auto socket = connectRaw(port_);
  const auto login = json{{"type", "auth"}, {"code", code_}}.dump();
  std::string frame = {'\x81', static_cast<char>(0x80 | login.size()), 1, 2, 3, 4};
  for (std::size_t i = 0; i < login.size(); ++i) frame += static_cast<char>(login[i] ^ (1 + i % 4));
  net::write(socket, net::buffer("GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n" +
                                 frame));
  const auto accepted = [](const std::string& received) { return received.find(R"("ok":true)") != std::string::npos; };
  const auto received = readRaw(socket, 5s, accepted).first;
  EXPECT_TRUE(accepted(received)) << received;
}

TEST_F(AgentServiceTest, UploadsNeedAViewersTokenAndOnlyCompleteOnesAreStoredAndAnnounced) {
  Viewer viewer(port_);
  const auto token = viewer.auth(code_);
  ASSERT_FALSE(token.empty());
  const auto as = [](const std::string& token, const std::string& name) {
    return "X-Qova-Token: " + token + "\r\nX-Qova-File-Name: " + name + "\r\n";
  };
  EXPECT_EQ(post("x", "X-Qova-File-Name: a.txt\r\n"), 401u);
  EXPECT_EQ(post("x", as(std::string(32, '0'), "a.txt")), 401u);
  EXPECT_EQ(receivedCount(), 0u);

  EXPECT_EQ(post("content", as(token, "%E6%8A%A5%E5%91%8A.txt")), 200u);
  std::ifstream in(received() / "报告.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "content");
  EXPECT_TRUE(agent_.waitForLine("^__QOVA_FILE_RECEIVED__" + (received() / "报告.txt").string() + "$"));

  // Over the cap, or cut off midway: nothing is left, not even a temporary file.
  EXPECT_EQ(post(std::string(100001, 'b'), as(token, "big.bin")), 413u);
  const auto waitForCount = [this](std::size_t count) {
    for (int i = 0; i < 100 && receivedCount() != count; ++i) std::this_thread::sleep_for(20ms);
    return receivedCount();
  };
  {
    auto socket = connectRaw(port_);
    net::write(socket, net::buffer("POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 50000\r\n" +
                                   as(token, "half.bin") + "\r\n" + std::string(20000, 'h')));
    ASSERT_EQ(waitForCount(2), 2u);  // hang up once the temporary file exists
  }
  EXPECT_EQ(waitForCount(1), 1u);
}

TEST_F(AgentServiceTest, CaptureStopsWhenTheLastViewerLeavesAndTheAgentEndsWithItsInput) {
  {
    Viewer first(port_), second(port_);
    ASSERT_FALSE(first.auth(code_).empty());
    ASSERT_FALSE(second.auth(code_).empty());
    ASSERT_TRUE(agent_.waitForLine(R"(^__QOVA_CAPTURE__\{"action":"start"\}$)"));
  }
  ASSERT_TRUE(agent_.waitForLine(R"(^__QOVA_CAPTURE__\{"action":"stop"\}$)"));
  const auto lines = agent_.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), R"(__QOVA_CAPTURE__{"action":"stop"})"), 1);
  const auto status = agent_.wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(AgentServiceTest, WithViewersAndClipboardGrantedLoginsAreReportedCopiedTextSharedAndTheHostEndsEverySession) {
  ASSERT_TRUE(agent_.waitForLine(R"(^__QOVA_HELLO__\{"version":1,"want":\["viewers","clipboard","displays"\]\}$)"));
  Viewer first(port_), second(port_);
  ASSERT_FALSE(first.auth(code_).empty());
  agent_.write("__QOVA_HELLO__{\"version\":1,\"accepted\":[\"viewers\",\"clipboard\"]}\n");
  ASSERT_TRUE(agent_.waitForLine(R"(^__QOVA_VIEWERS__\{"count":1\}$)"));
  ASSERT_FALSE(second.auth(code_).empty());
  ASSERT_TRUE(agent_.waitForLine(R"(^__QOVA_VIEWERS__\{"count":2,"joined":"127\.0\.0\.1"\}$)"));
  // Past what one message carries, in pieces a character never straddles; bad text is not passed on.
  std::string copied = "\"引号\"\n";
  while (copied.size() < 100000) copied += "复制 ✓ " + std::to_string(copied.size());
  agent_.write("__QOVA_CLIPBOARD__{\"text\":\"\xC3\"}\n__QOVA_CLIPBOARD__" + json{{"text", copied}}.dump() + "\n");
  for (auto* viewer : {&first, &second}) {
    std::string got;
    for (json piece = viewer->readUntil("clipboard");; piece = viewer->readUntil("clipboard")) {
      got += piece["text"].get<std::string>();
      if (!piece.value("more", false)) break;
    }
    EXPECT_EQ(got, copied);
  }
  agent_.write("__QOVA_VIEWERS__{\"action\":\"endAll\"}\n");
  for (auto* viewer : {&first, &second}) {
    EXPECT_EQ(viewer->readUntil("ended").value("reason", ""), "ended by the host");
    EXPECT_EQ(viewer->closedWithin(5s), std::optional(true));
  }
  EXPECT_TRUE(agent_.waitForLine(R"(^__QOVA_VIEWERS__\{"count":0\}$)"));
}

TEST_F(AgentServiceTest, WithDisplaysGrantedViewersSeeTheListAndAChoiceGoesToTheApplication) {
  agent_.write("__QOVA_HELLO__{\"version\":1,\"accepted\":[\"displays\"]}\n");
  Viewer viewer(port_);
  ASSERT_FALSE(viewer.auth(code_).empty());
  agent_.write(R"(__QOVA_DISPLAYS__{"current":7,"displays":[{"id":7,"name":"DP-1","width":1920,"height":1080,"x":0,"y":0,"main":true},{"id":9,"name":"HDMI-1","width":1280,"height":1024,"x":1920,"y":0},{"id":5,"width":0,"height":9,"x":0,"y":0}]})" "\n");
  const auto listed = viewer.readUntil("displays");
  EXPECT_EQ(listed["current"], 7);
  ASSERT_EQ(listed["displays"].size(), 2u);  // the one without a size is left out
  EXPECT_EQ(listed["displays"][1], json::parse(R"({"id":9,"name":"HDMI-1","width":1280,"height":1024,"x":1920,"y":0,"main":false})"));
  for (const auto* choice : {R"({"type":"display","id":5})", R"({"type":"display","id":"9"})", R"({"type":"display","id":9})"}) viewer.sendText(choice);
  ASSERT_TRUE(agent_.waitForLine(R"(^__QOVA_CAPTURE__\{"action":"tune","display":9\}$)"));
  const auto lines = agent_.lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const auto& l) { return l.find("\"tune\"") != std::string::npos; }), 1);
}

struct AgentPictureTest : AgentServiceTest {
  AgentPictureTest() : AgentServiceTest(true) {}
  // The header and payload of the next binary message.
  static std::pair<json, std::string> update(Viewer& viewer) {
    const auto message = viewer.readUntil("binary")["binary"].get<std::string>();
    const auto length = std::size_t(std::uint8_t(message[2])) << 8 | std::uint8_t(message[3]);
    return {json::parse(message.substr(4, length)), message.substr(4 + length)};
  }
};

std::string updateMessage(const std::string& rects, const std::string& payload, bool full = false) {
  return "__QOVA_UPDATE_BYTES__{\"width\":64,\"height\":40,\"inputWidth\":128,\"inputHeight\":80,\"full\":" +
         std::string(full ? "true" : "false") + ",\"rects\":[" + rects + "],\"bytes\":" + std::to_string(payload.size()) +
         "}\n" + payload;
}

TEST_F(AgentPictureTest, EachViewerHasOneUpdateInFlightAndItsAckBringsAllThatChangedMeanwhile) {
  Viewer viewer(port_), silent(port_);
  ASSERT_FALSE(viewer.auth(code_).empty());
  ASSERT_FALSE(silent.auth(code_).empty());
  ASSERT_TRUE(agent_.waitForLine(R"(^__QOVA_CAPTURE__\{"action":"start","picture":\{"version":1,"fps":30,"maxSide":0,"cursor":true,"copy":true\}\}$)"));
  agent_.write("__QOVA_PICTURE__{\"version\":1,\"tile\":32,\"cursor\":false}\n" +
               updateMessage("[0,0,64,40,1,4]", "PNG0", true) + updateMessage("[0,0,32,32,0,2]", "J1") +
               updateMessage("[32,0,32,40,0,2]", "J2"));
  const auto [first, firstBytes] = update(viewer);
  EXPECT_EQ(std::tie(first["seq"], first["inputWidth"], firstBytes), std::make_tuple(1, 128, "PNG0"));  // the rest waits for the ack
  EXPECT_EQ(update(silent).second, "PNG0");
  for (const auto* ack : {R"({"type":"ack","seq":2})", R"({"type":"ack","seq":"1"})", R"({"type":"ack"})"}) silent.sendText(ack);
  viewer.sendText(R"({"type":"ack","seq":1})");
  auto [second, secondBytes] = update(viewer);
  EXPECT_TRUE(second.contains("rtt"));
  if (secondBytes == "J1") {  // the agent had not read the last change yet: it comes with the next ack
    viewer.sendText(json{{"type", "ack"}, {"seq", second["seq"]}}.dump());
    const auto [third, thirdBytes] = update(viewer);
    second["rects"].insert(second["rects"].end(), third["rects"].begin(), third["rects"].end());
    secondBytes += thirdBytes;
  }
  EXPECT_EQ(std::tie(second["rects"], secondBytes), std::make_tuple(json::parse("[[0,0,32,32,0,2],[32,0,32,40,0,2]]"), "J1J2"));
  EXPECT_EQ(silent.closedWithin(300ms), std::nullopt);  // acks of anything but the update in flight count for nothing
  agent_.write(frameMessage("JPEG"));  // from an application without the picture: passed on as before
  EXPECT_EQ(update(viewer), std::make_pair(json{{"width", 1280}, {"height", 800}, {"inputWidth", 1920}, {"inputHeight", 1080}, {"timestamp", 0}}, std::string("JPEG")));
}

}  // namespace
}  // namespace qova::agent
