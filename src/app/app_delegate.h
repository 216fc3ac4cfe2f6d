#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/main_queue.h"
#include "bridge/agent_output_buffer.h"
#include "capture/capture_host.h"
#include "input/held_buttons.h"
#include "input/key_names.h"
#include "platform/event_poster.h"
#include "platform/platform_services.h"

namespace qova {

class Window;
class Label;
class Button;
class StackView;
class ChildProcess;
class InputPipe;
class SerialQueue;
class Timer;
class CaptureSession;
class FileActionButton;

// The one object that owns all of the application's state. Created with std::make_shared on the
// main thread before the event loop runs; every block that runs later or on another thread holds it
// weakly (weakBlock). Its operations are glue, defined in app/ one file per concern; what they glue
// (decoding, rules, layout) lives in the concern folders and knows nothing of this class.
class AppDelegate : public std::enable_shared_from_this<AppDelegate>, public CaptureHost {
 public:
  explicit AppDelegate(PlatformServices services);
  ~AppDelegate();
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  // ---- Fields, in their defined order --------------------------------------------------------
  std::shared_ptr<Window> window;         // 1
  std::shared_ptr<ChildProcess> process;  // 2, main thread
  // 3: set and cleared on the main thread, read on agentInputQueue; see setInputPipe/currentInputPipe.
  std::shared_ptr<InputPipe> inputPipe;
  std::shared_ptr<Label> statusLabel;              // 4 "未启动"
  std::shared_ptr<Label> idValue;                  // 5 "-"
  std::shared_ptr<Label> codeValue;                // 6 "-"
  std::shared_ptr<Label> serverValue;              // 7 "-"
  std::shared_ptr<Button> startButton;             // 8 "启动服务"
  std::shared_ptr<Button> stopButton;              // 9 "停止服务"
  std::shared_ptr<StackView> fileListStack;        // 10
  std::shared_ptr<Label> fileEmptyLabel;           // 11 "暂无收到的文件"
  std::shared_ptr<Label> filePathLabel;            // 12 ""
  AgentOutputBuffer outputBuffer;                  // 13, agent output readers only
  CGMouseButton dragButton = CGMouseButton::left;  // 14; agent output readers only
  std::unique_ptr<SerialQueue> agentInputQueue;    // 15 "qova.lumaro.agent.input"
  // 16-27: the capture state, owned by the capture session with the same names and initial values.
  std::shared_ptr<CaptureSession> capture;
  std::shared_ptr<Timer> permissionTimer;                    // 28, main thread
  std::shared_ptr<Timer> fileRefreshTimer;                   // 29, main thread
  std::optional<bool> lastScreenTrusted;                     // 30, main thread
  std::optional<bool> lastInputTrusted;                      // 31, main thread
  // Where the desktop is asked to open settings, URLs and files: its handlers may take seconds to
  // start or answer, and the window must not wait for them. One queue keeps the attempts in order.
  std::unique_ptr<SerialQueue> desktopQueue;

  // ---- Launch and termination (app/app_delegate.cpp), main thread ------------------------------
  void applicationDidFinishLaunching(const std::vector<std::string>& arguments);
  void applicationWillTerminate();
  void startClicked();
  void stopClicked();

  // ---- At home on the desktop (app/desktop_home.cpp), main thread --------------------------------
  // False when another instance runs for this user and display; it has been asked to show its window.
  bool claimSingleInstance();
  // The tray icon with its menu, where the desktop has a notification area.
  void showTrayIcon();
  void showWindowClicked();
  // Ends the application as SIGTERM does.
  void quitClicked();

  // ---- Device identity (app/device_identity.cpp), main thread -----------------------------------
  // Runs the agent to its end (bounded) and returns its output, or empty text.
  std::string runAgent(const std::vector<std::string>& arguments);
  void loadIdentity();

  // ---- Agent supervision (app/agent_supervision.cpp), main thread ------------------------------
  std::string agentURL() const;
  void startAgent();
  void restartAgent();
  void runCommand(const std::string& path, const std::vector<std::string>& arguments);
  void stopLegacyAgentProcesses();
  void stopLegacyLaunchAgent();

  // ---- Agent stdio (app/agent_stdio.cpp) -------------------------------------------------------
  // Reader threads of agent output pipes; chunk handling of all agents is serialised. Output handled
  // here belongs to whichever run is current when it arrives.
  void handleAgentOutput(std::string_view chunk);
  // The same for the output of agent run `run`: each run keeps its unfinished last line in its own
  // buffer, so the end of one agent's output never joins the start of the next one's, and once the
  // run has been stopped or replaced its lines are dropped unread.
  void handleAgentOutput(AgentOutputBuffer& buffer, std::string_view chunk, uint64_t run);
  // Any thread; returns at once. The write happens later on agentInputQueue, to the agent whose
  // pipe is current now (none: nothing is written).
  void writeAgentInput(std::string text);
  // Any thread: the input pipe as one value, either the old or the new one.
  std::shared_ptr<InputPipe> currentInputPipe() const;
  // Main thread. A pipe that is replaced or cleared is closed, so a write blocked on it ends.
  void setInputPipe(std::shared_ptr<InputPipe> pipe);

  // ---- Who watches (app/viewers.cpp) -----------------------------------------------------------
  // Agent output reader, for the current run `run`: answers the agent's hello with what this
  // application grants, and takes its reports of who watches.
  void answerHello(std::string_view hello, uint64_t run);
  void handleViewersReport(std::string_view payload, uint64_t run);
  // Main thread: the tray's "end every viewer's session", for an agent that asked for it.
  void endAllViewersClicked();

  // ---- Copied text for the viewers (app/clipboard.cpp) -----------------------------------------
  // Watcher thread: text copied on the desktop goes to an agent granted the clipboard, unless it is
  // what its viewers gave or were given last.
  void pasteboardChanged(std::string text);
  // Agent output reader: a viewer's paste is about to put `text` on the pasteboard.
  void notePastedText(const std::string& text);

  // ---- Permission sync (app/permissions.cpp), main thread --------------------------------------
  void sendPermissionState(bool force);
  void startPermissionSync();

  // ---- Remote input (app/remote_input.cpp), agent output reader thread -------------------------
  // Decodes one input command of agent run `run` and carries it out, pauses included, before
  // returning; malformed commands, and commands of a run that is no longer current, are dropped.
  void handleInputBridge(std::string_view payload, uint64_t run);

  // ---- Capture (app/capture_bridge.cpp): forwards to the capture session ------------------------
  // Agent output reader thread; only queues work on captureQueue.
  void handleCaptureBridge(std::string_view payload);
  // Any thread; queue the start or stop transition on captureQueue and return at once.
  void startCaptureBridge();
  void stopCaptureBridge();
  // CaptureHost.
  void writeFrameToAgent(std::string headerLine, std::vector<uint8_t> jpeg,
                         std::function<void(AgentWrite)> done) override;
  void showCaptureStatus(std::string_view text) override;

  // ---- Permission requests and settings navigation (app/permissions.cpp), main thread ---------
  void requestScreenPermission();
  void requestAccessibilityPermission();
  void openScreenSettings();
  void openAccessibilitySettings();
  // Returns at once; the attempts run in order on desktopQueue.
  void openPrivacySettings(std::string_view anchor);

  // ---- Window (app/window.cpp) and received files (app/received_files.cpp), main thread unless stated
  // Also posts the first refresh of the received files list.
  void buildWindow();
  // `sender` is the pressed copy button, or none.
  void copyClicked(const Button* sender);
  // Agent output reader thread; queues a refresh to the main thread.
  void handleFileReceivedBridge();
  void refreshReceivedFiles();
  void refreshReceivedFilesClicked();
  void openReceivedFilesFolder();
  // `sender` is the pressed row button; only one that carries a file has an effect.
  void openReceivedFile(const FileActionButton* sender);
  void locateReceivedFile(const FileActionButton* sender);
  void startFileRefreshTimer();

  // Platform services; fixed for the controller's life.
  const PlatformServices& services() const { return services_; }
  MainQueue& mainQueue() const;

 private:
  void handleAgentEnd(const std::shared_ptr<ChildProcess>& child);
  void clearAgent();
  void setServiceButtons(bool agentRunning);
  void setStatus(std::string_view text);
  // Main thread. The status label: the status, and how many watch while an agent reports it.
  void showStatusLine();
  void showViewers();
  // Main thread. The current run no longer reports viewers: none are shown, the tray forgets them.
  void forgetViewers();
  // Main thread. The pasteboard is watched for run `run` alone, or (0) for nobody.
  void watchPasteboardFor(uint64_t run);
  // Main thread. From here on no line of the current agent run is acted on, and what its input
  // holds down is released.
  void endRun();
  // Main thread. Releases what remote input holds down, waiting at most `wait` for a command in
  // flight; past that, the reader releases as that command ends.
  void releaseHeldInput(Duration wait);
  // Any thread. Does a release that was asked for, unless a command stays in flight past `wait`.
  void releaseHeldInputIfAsked(Duration wait = Duration(0));
  // Main thread.
  void setCurrentRun(uint64_t run);
  // Any thread.
  bool isCurrentRun(uint64_t run) const { return currentRun_.load() == run; }
  // Agent output reader. The main thread shows only the newest status a run has sent since it last
  // looked, so output faster than the main thread costs one queued post, not one per line.
  void queueStatus(uint64_t run, std::string_view text);
  void showPendingStatus();

  PlatformServices services_;
  mutable std::mutex inputPipeMutex_;
  std::mutex outputMutex_;
  // Each agent launch is a run with the next number; 0 is no run. Changed on the main thread under
  // runMutex_, which a reader also holds while it checks the run and queues a line's work, so no
  // capture command, status or refresh of an ended run is queued after its end.
  uint64_t lastRun_ = 0;  // main thread
  std::atomic<uint64_t> currentRun_{0};
  std::mutex runMutex_;
  // Held by a reader for one input command at a time, run check included, and by a release.
  std::mutex inputMutex_;
  HeldButtons heldButtons_;  // under inputMutex_
  std::atomic<bool> heldReleaseAsked_{false};
  struct PendingStatus {
    uint64_t run;
    std::string text;
  };
  std::mutex statusMutex_;
  std::optional<PendingStatus> pendingStatus_;  // under statusMutex_; set while its post is queued
  bool statusSinceLaunch_ = false;              // main thread; a status line of the current run was shown
  std::string statusText_ = "未启动";  // main thread
  uint64_t viewersRun_ = 0;            // main thread: the run whose agent reports its viewers
  std::atomic<uint64_t> displaysRun_{0};  // agent output reader: the run whose agent chooses the display
  int64_t viewerCount_ = 0;            // main thread
  // What reports say that the main thread has not shown yet: a flood of them costs one post.
  struct PendingViewers {
    uint64_t run;
    int64_t count;
    std::vector<std::string> joined;  // the newest few places viewers logged in from
  };
  std::mutex viewersMutex_;
  std::optional<PendingViewers> pendingViewers_;  // under viewersMutex_; set while its post is queued
  std::optional<PendingViewers> viewersToShow_;   // main thread
  std::atomic<uint64_t> pasteboardRun_{0};  // set on the main thread: the run granted the clipboard
  std::mutex pasteboardMutex_;
  std::string viewersPasteboardText_;  // under pasteboardMutex_: what the viewers gave or got last
  // Set by the agent output reader when a file-received refresh is queued, cleared by the main
  // thread as it starts that refresh: a flood of marker lines costs one refresh, not one each.
  std::atomic<bool> fileReceivedRefreshQueued_{false};
};

}  // namespace qova
