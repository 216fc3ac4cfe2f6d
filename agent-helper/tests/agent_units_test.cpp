// The agent's pure parts: access, identity, file names, the application's stream, the line queue,
// stored uploads and the commands made of viewer input.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
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
#include "temp_folder.h"
#include "upload_sink.h"
#include "viewer_command.h"

namespace qova::agent {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

// The permission bits of `path`, or 01000 when it cannot be read.
unsigned modeOf(const fs::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 01000;
}

using Clock = GuessLimiter::Clock;

TEST(AccessCodeMatches, OnlyTheExactCodeMatchesAndNoCodeLetsNobodyIn) {
  EXPECT_TRUE(accessCodeMatches("k7m2p9xa", "k7m2p9xa"));
  for (const char* given : {"k7m2p9xb", "k7m2p9x", "k7m2p9xak7m2p9xa", ""}) EXPECT_FALSE(accessCodeMatches("k7m2p9xa", given));
  EXPECT_FALSE(accessCodeMatches("", ""));
}

struct VirtualClock {
  Clock::time_point now = Clock::time_point{} + 1h;
  GuessLimiter limiter{[this] { return now; }};
};

TEST(GuessLimiter, NoMinuteJudgesMoreThanSixtyHoweverManyAttemptsCome) {
  VirtualClock clock;
  std::vector<Clock::time_point> judged;
  for (int i = 0; i < 30000; ++i, clock.now += 10ms) {
    if (clock.limiter.admit() == Clock::duration::zero()) judged.push_back(clock.now);
  }
  for (std::size_t i = 0; i + 60 < judged.size(); ++i) EXPECT_GE(judged[i + 60] - judged[i], 60s) << i;
  EXPECT_GE(judged.size(), 5u * 50u);  // and the budget is really given out, five minutes long
}

TEST(GuessLimiter, AfterAFloodTheNextAttemptIsJudgedWhenToldAndARightCodeGivesItsShareBack) {
  VirtualClock clock;
  for (int i = 0; i < 5000; ++i, clock.now += 600us) clock.limiter.admit();
  const auto wait = clock.limiter.admit();
  EXPECT_TRUE(wait > Clock::duration::zero() && wait <= GuessLimiter::kRefill);
  clock.now += wait;
  EXPECT_EQ(clock.limiter.admit(), Clock::duration::zero());
  VirtualClock fresh;
  for (unsigned i = 0; i < 2 * GuessLimiter::kBurst; ++i, fresh.limiter.succeeded()) {
    ASSERT_EQ(fresh.limiter.admit(), Clock::duration::zero()) << i;
  }
}

TEST(ListenAddress, ParsesHostAndPortFormsAndNamesAUrlABrowserHereCanOpen) {
  EXPECT_EQ(parseListenAddress("127.0.0.1:8080"), (ListenAddress{"127.0.0.1", 8080}));
  EXPECT_EQ(parseListenAddress(":9000"), (ListenAddress{"127.0.0.1", 9000}));
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
  EXPECT_FALSE(isWellFormedAccessCode("abc"));
  EXPECT_FALSE(isWellFormedAccessCode("abcdefg0"));  // 0 is left out: it reads like o
}

TEST(AccessCode, CreatedOnceKeptPrivateReusedAndReplacedWhenUnusable) {
  TempFolder folder;
  const auto file = folder.path() / "config" / "qova-lumaro-agent" / "state.json";
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

TEST(SanitizeFileName, KeepsOnlyASafeVisibleBaseName) {
  const struct {
    const char* given;
    const char* stored;
  } cases[] = {
      {"report.pdf", "report.pdf"},
      {"../../etc/passwd", "passwd"},
      {"C:\\Users\\me\\photo 1.jpg", "photo 1.jpg"},
      {"dir/.bashrc", "bashrc"},
      {"..hidden..txt", "hidden..txt"},
      {"a\nb\tc\177d.txt", "abcd.txt"},
      {"  spaced  ", "spaced"},
      {"报告 2024.docx", "报告 2024.docx"},
      {"bad\xFF\xFEname", "bad__name"},
      {"over\xC0\xAFlong", "over__long"},                                  // overlong "/"
      {"line\xE2\x80\xA8sep", "line___sep"},                               // U+2028
      {"c1\xC2\x85x", "c1__x"},                                            // U+0085
      {"invoice\xE2\x80\xAEtxt.exe", "invoicetxt.exe"},                    // U+202E shows it as "invoiceexe.txt"
      {"\xEF\xBB\xBFzero\xE2\x80\x8Bwidth\xC2\xAD.txt", "zerowidth.txt"},  // U+FEFF, U+200B, U+00AD
      {"tag\xF3\xA0\x80\x81.txt", "tag.txt"},                              // U+E0001
  };
  for (const auto& c : cases) EXPECT_EQ(sanitizeFileName(c.given), c.stored) << '"' << c.given << '"';
  for (const char* name : {"", ".", "..", "/", "dir/..", " . ", "\x01\x02", "\xE2\x80\xAE"}) {
    EXPECT_EQ(sanitizeFileName(name), "file") << '"' << name << '"';  // nothing left: a plain name
  }
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
  EXPECT_EQ(percentDecode("a%20b%2F..%E6%96%87"), "a b/..文");
  for (const char* broken : {"bad%2", "bad%", "bad%zz"}) EXPECT_FALSE(percentDecode(broken)) << broken;
}

std::string frameMessage(const std::string& jpeg) {
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

TEST(InputStreamParser, FrameBodyIsDelimitedByItsByteCountInEverySplit) {
  const auto stream = frameMessage(kAwkwardJpeg) + "__QOVA_PERMISSION__{\"input\":true,\"screen\":true}\n" + frameMessage("xyz");
  for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{64}, stream.size()}) {
    InputStreamParser parser;
    const auto messages = feedAll(parser, stream, piece);
    ASSERT_EQ(messages.size(), 3u) << "piece " << piece;
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
      "more noise without a line feed ",
      "__QOVA_PERMISSION__{\"screen\":1,\"input\":true}\n",       // not a boolean
      "__QOVA_PERMISSION__{\"screen\":true}\n",                   // member missing
      "__QOVA_PERMISSION__[true,false]\n",                        // not an object
      "__QOVA_FRAME_BYTES__{\"width\":10,\"height\":10,\"inputWidth\":10,\"inputHeight\":10}\nXX",  // no bytes
      "__QOVA_FRAME_BYTES__{\"width\":10,\"height\":10,\"inputWidth\":10,\"inputHeight\":10,\"bytes\":2.5}\nXX",
      "__QOVA_FRAME_BYTES__{\"width\":0,\"height\":10,\"inputWidth\":10,\"inputHeight\":10,\"bytes\":2}\nXX",
      "__QOVA_FRAME_BYTES__{\"width\":10,\"height\":10,\"inputWidth\":10,\"inputHeight\":10,\"bytes\":-2}\nXX",
      "__QOVA_FRAME_BYTES__{cut off\nXX",
  };
  for (const auto& message : bad) {
    InputStreamParser parser;
    const auto messages = feedAll(parser, message + frameMessage("ok"), 3);
    ASSERT_EQ(messages.size(), 1u) << message;
    EXPECT_EQ(std::get<FrameMessage>(messages[0]).jpeg, "ok") << message;
  }
}

TEST(InputStreamParser, HoldsLittleForOversizedFramesEndlessHeaderLinesAndMarkersSplitAcrossReads) {
  InputStreamParser parser(1000);
  std::vector<InputStreamMessage> out;
  parser.feed("__QOVA_FRAME_BYTES__{\"width\":1,\"height\":1,\"inputWidth\":1,\"inputHeight\":1,\"bytes\":1001}\n", out);
  parser.feed("__QOVA_PERMISSION__{\"screen\":false,\"input\":true}\n__QOVA_PERMISSION__{" + std::string(1 << 20, 'a'), out);
  EXPECT_LE(parser.pendingBytes(), InputStreamParser::kMaxHeaderLine + 64);
  parser.feed("\n" + std::string(100000, 'g') + "__QOVA_FRAME_", out);
  EXPECT_LT(parser.pendingBytes(), 32u);
  parser.feed("BYTES__{\"width\":2,\"height\":2,\"inputWidth\":4,\"inputHeight\":4,\"bytes\":1}\nZ", out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(std::get<PermissionState>(out[0]), (PermissionState{false, true}));
  EXPECT_EQ(std::get<FrameMessage>(out[1]).jpeg, "Z");
  EXPECT_EQ(std::get<FrameMessage>(out[1]).timestamp, 0);  // without one it is still a frame
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
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    std::vector<std::string> lines;
    std::istringstream in(all.substr(all.find('\n') + 1));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
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

TEST(UploadSink, StoresForTheUserAloneUnderAFreeNameAndLeavesAFolderTheUserMadeAsItWas) {
  const auto store = [](const fs::path& folder, const std::string& name, const std::string& content) {
    auto sink = UploadSink::open(folder, name, 100);
    return sink && sink->write(content) ? std::optional<std::string>(sink->commit()) : std::nullopt;
  };
  const auto contentOf = [](const fs::path& path) { return std::string(std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {}); };
  TempFolder temp;
  const auto folder = temp.path() / "Downloads" / "received";
  EXPECT_EQ(store(folder, "报告.txt", "first"), (folder / "报告.txt").string());
  EXPECT_EQ(store(folder, "报告.txt", "second"), (folder / "报告 (1).txt").string());
  EXPECT_EQ(contentOf(folder / "报告.txt") + contentOf(folder / "报告 (1).txt"), "firstsecond");
  EXPECT_EQ(modeOf(folder / "报告.txt"), 0600u);
  EXPECT_EQ(modeOf(folder), 0700u);
  EXPECT_EQ(modeOf(folder.parent_path()), 0700u);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 2);  // no temporary file left
  const auto own = temp.path() / "own";
  fs::create_directory(own);
  fs::permissions(own, fs::perms(0755));
  ASSERT_TRUE(store(own, "a.txt", "x"));
  EXPECT_EQ(modeOf(own), 0755u);
  EXPECT_EQ(modeOf(own / "a.txt"), 0600u);
}

TEST(RemoveStaleUploads, RemovesOnlyOurTemporaryFilesOlderThanTheLimit) {
  TempFolder temp;
  const std::tuple<const char*, bool, bool> files[] = {  // name, aged, kept
      {".qova-upload-0123456789abcdef.part", true, false}, {".qova-upload-fedcba9876543210.part", false, true},
      {"notes.part", true, true}, {".qova-upload-0123456789abcdef.partial", true, true}, {"report.pdf", true, true}};
  for (const auto& [name, aged, kept] : files) {
    std::ofstream(temp.path() / name) << "x";
    if (aged) fs::last_write_time(temp.path() / name, fs::file_time_type::clock::now() - 2h);
  }
  removeStaleUploads(temp.path(), 1h);
  for (const auto& [name, aged, kept] : files) EXPECT_EQ(fs::exists(temp.path() / name), kept) << name;
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
      {R"({"action":"dragEnd","x":9,"y":10})", R"({"action":"dragEnd","x":9.0,"y":10.0})"},
      {R"({"action":"swipe","x":1,"y":2,"x2":3000,"y2":4,"durationMs":1e300})",
       R"({"action":"swipe","x":1.0,"y":2.0,"x2":1439.0,"y2":4.0,"durationMs":5000.0,"button":"left"})"},
      {R"({"action":"key","key":"a","modifiers":["ctrl","hyper","shift","ctrl"]})",
       R"({"action":"key","key":"a","modifiers":["ctrl","shift"]})"},
      {R"({"action":"key","key":"enter"})", R"({"action":"key","key":"enter","modifiers":[]})"},
      {R"({"action":"scroll","deltaY":2.9})", R"({"action":"scroll","deltaY":2})"},
      {R"({"action":"scroll","deltaY":-250})", R"({"action":"scroll","deltaY":-10})"},
      {R"({"action":"tap","x":"640","y":400})", ""}, {R"({"action":"tap","y":400})", ""},
      {R"({"action":"TAP","x":1,"y":1})", ""}, {R"({"action":"back"})", ""}, {R"({"x":1,"y":1})", ""}, {"[1,2]", ""},
      {R"({"action":"scroll","deltaY":0.4})", ""}, {R"({"action":"key","key":""})", ""},
      {R"({"action":"key","key":"a","modifiers":["shift",3]})", ""}, {R"({"action":"text","text":""})", ""},
  };
  for (const auto& [event, command] : cases) {
    const auto line = inputCommandLine(json::parse(event), kSpace);
    if (!*command) EXPECT_FALSE(line) << event;
    if (!*command) continue;
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

}  // namespace
}  // namespace qova::agent
