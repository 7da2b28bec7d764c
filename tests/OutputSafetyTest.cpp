// What vxaudio promises about the files it writes, checked the way a user
// would meet it: a full disk, an interrupt, an output naming the input, a
// run killed outright, a forced split over an older set and two exports
// racing for one name never cost a byte of what was there before, and never
// leave a temporary behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "SoundFixture.h"
#include "VxProcess.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int kRate = 44100;

// ---- a vxaudio child the test can signal ----

struct Ended {
  int status = -1;  // the exit status, or -signal when a signal ended it
  std::string err;  // with whatever went to standard output
};

class Child {
 public:
  // Runs vxaudio with `args` in `dir`, standard output and error caught
  // together in `err`. `fileLimit` caps the size of every file the child writes
  // (SIGXFSZ ignored, so the write fails instead).
  Child(const std::vector<std::string>& args, const std::string& dir,
        rlim_t fileLimit = RLIM_INFINITY) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], STDERR_FILENO);
      dup2(fds[1], STDOUT_FILENO);
      if (chdir(dir.c_str()) != 0) _exit(127);
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{fileLimit, fileLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
      const std::string prog = std::string(VX_BUILD_DIR) + "/vxaudio";
      std::vector<char*> argv{const_cast<char*>(prog.c_str())};
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(prog.c_str(), argv.data());
      _exit(127);
    }
    close(fds[1]);
    err_ = fds[0];
  }
  ~Child() {
    if (pid_ > 0) Wait();
  }
  pid_t pid() const { return pid_; }
  bool Running() const {
    siginfo_t info{};
    return waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
  }

  Ended Wait() {
    Ended e;
    char buf[4096];
    for (ssize_t n; (n = read(err_, buf, sizeof buf)) > 0;) e.err.append(buf, size_t(n));
    close(err_);
    int raw = 0;
    waitpid(pid_, &raw, 0);
    pid_ = -1;
    e.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
    return e;
  }

 private:
  pid_t pid_ = -1;
  int err_ = -1;
};

Ended RunIn(const std::vector<std::string>& args, const std::string& dir,
          rlim_t fileLimit = RLIM_INFINITY) {
  return Child(args, dir, fileLimit).Wait();
}

// ---- files ----

// Every entry under `dir` (hidden ones included) with its content; folders
// as "<dir>", links as "-> target". Equal snapshots mean nothing was added,
// lost or changed.
using Snapshot = std::map<std::string, std::string>;
Snapshot Snap(const std::string& dir) {
  Snapshot s;
  if (!fs::exists(dir)) return s;
  for (auto& e : fs::recursive_directory_iterator(dir))
    s[fs::relative(e.path(), dir).string()] =
        e.is_symlink()     ? "-> " + fs::read_symlink(e.path()).string()
        : e.is_directory() ? "<dir>"
                           : vxtest::Slurp(e.path().string());
  return s;
}

// The first temporary under `dir` (an output being written, a split's
// staging folder), or "".
std::string TemporaryIn(const std::string& dir) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    if (it->path().filename().string().rfind(".vxaudio-tmp.", 0) == 0) return it->path().string();
  return "";
}

// Noise bursts of 0.9 s between 0.3 s pauses 74 dB down: a piece per burst.
std::string WriteTalk(const std::string& path, int bursts) {
  std::vector<float> v;
  for (int b = 0; b < bursts; ++b)
    for (auto [len, amp] : {std::pair{0.3, 2e-4}, {0.9, 0.5}}) {
      auto part = vxtest::Noise(std::llround(len * kRate), 2, uint32_t(2 * b + (amp > 0.1)), amp);
      v.insert(v.end(), part.begin(), part.end());
    }
  auto tail = vxtest::Noise(std::llround(0.3 * kRate), 2, 99, 2e-4);
  v.insert(v.end(), tail.begin(), tail.end());
  return vxtest::WriteSound(path, v, 2, kRate);
}

class OutputSafety : public ::testing::Test {
 protected:
  // One long recording for every test (72 s, sixty pieces): long enough that
  // an export or a split is caught while it writes.
  static void SetUpTestSuite() {
    shared_ = std::make_unique<vxtest::TempDir>();
    WriteTalk(shared_->File("long.wav"), 60);
  }
  static void TearDownTestSuite() { shared_.reset(); }
  void SetUp() override {
    WriteTalk(dir.File("talk.wav"), 3);
    fs::create_symlink(shared_->File("long.wav"), dir.File("long.wav"));
  }
  std::string P(const std::string& name) const { return dir.File(name); }

  // Waits until `ready` holds, while the child runs.
  static bool WaitFor(Child& c, const std::function<bool()>& ready) {
    for (auto end = Clock::now() + std::chrono::seconds(20); Clock::now() < end;) {
      if (ready()) return true;
      if (!c.Running()) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
  }

  static std::unique_ptr<vxtest::TempDir> shared_;
  vxtest::TempDir dir;
};
std::unique_ptr<vxtest::TempDir> OutputSafety::shared_;

TEST_F(OutputSafety, AFullDiskFailsTheWriteAndKeepsWhatWasThere) {
  // Earlier results of each kind, which a failed run must leave alone.
  ASSERT_EQ(RunIn({"export", "-q", "talk.wav", "good.wav"}, dir.Path()).status, 0);
  ASSERT_EQ(RunIn({"split", "-q", "talk.wav", "set"}, dir.Path()).status, 0);
  ASSERT_EQ(RunIn({"silence", "talk.wav", "-o", "s.json", "--format", "json"}, dir.Path()).status, 0);
  vxtest::WriteBytes(P("g.csv"), "an older overview\n");

  struct Case {
    std::vector<std::string> args;
    rlim_t limit;
    std::string failing;  // the output the error line names
  };
  for (const Case& c : std::vector<Case>{
           {{"export", "-q", "long.wav", "new.wav"}, 65536, "new.wav"},
           {{"export", "-q", "long.wav", "good.wav", "--force"}, 65536, "good.wav"},
           {{"split", "-q", "talk.wav", "parts"}, 65536, "parts/piece-001.wav"},
           {{"split", "-q", "talk.wav", "set", "--force"}, 65536, "set/piece-001.wav"},
           {{"silence", "talk.wav", "-o", "s.json", "--format", "json"}, 16, "s.json"},
           {{"graph", "-q", "talk.wav", "--columns", "20000", "--format", "csv", "-o", "g.csv"},
            65536, "g.csv"}}) {
    const Snapshot before = Snap(dir.Path());
    const Ended e = RunIn(c.args, dir.Path(), c.limit);
    EXPECT_EQ(e.status, 1) << c.args[0] << " " << c.failing << ": " << e.err;
    EXPECT_EQ(e.err, "vxaudio " + c.args[0] + ": " + c.failing + ": File too large\n");
    EXPECT_TRUE(Snap(dir.Path()) == before) << c.failing << ": the folder changed";
  }
}

TEST_F(OutputSafety, SignalsRemoveWhatTheRunStartedAndKeepWhatWasThere) {
  ASSERT_EQ(RunIn({"export", "-q", "talk.wav", "old.wav"}, dir.Path()).status, 0);
  ASSERT_EQ(RunIn({"split", "-q", "talk.wav", "set"}, dir.Path()).status, 0);
  const std::string sets = P("set");
  // What the run is doing when the signal comes: writing a temporary next to
  // the output, analysing with an empty staging folder, or staging pieces.
  enum Phase { kExporting, kAnalysing, kStaging };
  struct Case {
    int sig;
    std::vector<std::string> args;
    std::string outdir;  // where the run writes
    Phase phase;
  };
  for (const Case& c : std::vector<Case>{
           {SIGINT, {"export", "-q", "long.wav", "old.wav", "--force"}, dir.Path(), kExporting},
           {SIGTERM, {"export", "-q", "long.wav", "new.aif"}, dir.Path(), kExporting},
           {SIGHUP, {"export", "-q", "long.wav", "new.wav", "--bits", "24"}, dir.Path(), kExporting},
           {SIGINT, {"split", "-q", "long.wav", "made/parts"}, P("made/parts"), kAnalysing},
           {SIGTERM, {"split", "-q", "long.wav", "parts"}, P("parts"), kStaging},
           {SIGHUP, {"split", "-q", "long.wav", "set", "--force"}, sets, kStaging}}) {
    const Snapshot before = Snap(dir.Path());
    Child child(c.args, dir.Path());
    const bool caught = WaitFor(child, [&] {
      const std::string temporary = TemporaryIn(c.outdir);
      std::error_code ec;
      return !temporary.empty() && (c.phase != kStaging || !fs::is_empty(temporary, ec));
    });
    ASSERT_TRUE(caught) << c.args[0] << " " << c.args[3] << " ended before it could be signalled";
    kill(child.pid(), c.sig);
    const Ended e = child.Wait();
    EXPECT_EQ(e.status, 128 + c.sig) << c.args[3] << ": " << e.err;
    EXPECT_TRUE(Snap(dir.Path()) == before) << c.args[3] << " signal " << c.sig;
  }
}

TEST_F(OutputSafety, AnOutputNamingTheInputIsAUsageError) {
  fs::create_directory(P("sub"));
  ASSERT_EQ(link(P("talk.wav").c_str(), P("hard.wav").c_str()), 0);
  fs::create_symlink("talk.wav", P("sym.wav"));
  ASSERT_EQ(RunIn({"split", "-q", "talk.wav", "parts"}, dir.Path()).status, 0);
  fs::create_directory(P("other"));
  ASSERT_EQ(link(P("talk.wav").c_str(), P("other/piece-009.wav").c_str()), 0);
  fs::create_directory(P("linked"));
  fs::create_symlink("../talk.wav", P("linked/index.json"));
  const Snapshot before = Snap(dir.Path());
  struct Case {
    std::vector<std::string> args;
    std::string named;  // the output the error line names
  };
  for (const Case& c : std::vector<Case>{
           {{"export", P("talk.wav"), P("talk.wav"), "--force"}, P("talk.wav")},
           {{"export", "talk.wav", "./talk.wav", "--force"}, "./talk.wav"},
           {{"export", "talk.wav", "sub/../talk.wav", "--force"}, "sub/../talk.wav"},
           {{"export", "talk.wav", "sub//..//talk.wav", "--force"}, "sub//..//talk.wav"},
           {{"export", "talk.wav", "hard.wav", "--force"}, "hard.wav"},
           {{"export", "talk.wav", "sym.wav", "--force"}, "sym.wav"},
           {{"export", "sym.wav", "talk.wav", "--force"}, "talk.wav"},
           {{"graph", "talk.wav", "--columns", "10", "-o", "./talk.wav"}, "./talk.wav"},
           {{"graph", "talk.wav", "--format", "png", "-o", "hard.wav"}, "hard.wav"},
           {{"silence", "talk.wav", "-o", "sym.wav"}, "sym.wav"},
           {{"loudness", "hard.wav", "-o", "sub/../talk.wav"}, "sub/../talk.wav"},
           // Split: a piece of its own folder, forced or not; an earlier piece
           // that a forced run would remove; an index linked to the source.
           {{"split", "parts/piece-001.wav", "parts", "--force"}, "parts/piece-001.wav"},
           {{"split", "parts/piece-003.wav", "./parts/"}, "./parts/piece-003.wav"},
           {{"split", "talk.wav", "other", "--force"}, "other/piece-009.wav"},
           {{"split", "talk.wav", "linked", "--force"}, "linked/index.json"}}) {
    const Ended e = RunIn(c.args, dir.Path());
    EXPECT_EQ(e.status, 2) << c.args[0] << " " << c.named;
    EXPECT_EQ(e.err, "vxaudio " + c.args[0] + ": " + c.named +
                         ": names the source file itself; refusing to overwrite it\n");
  }
  EXPECT_TRUE(Snap(dir.Path()) == before);
}

TEST_F(OutputSafety, TheNextRunRemovesOnlyStaleTemporaries) {
  // A split killed outright leaves its staging folder behind.
  {
    Child killed({"split", "-q", "long.wav", "out"}, dir.Path());
    ASSERT_TRUE(WaitFor(killed, [&] { return !TemporaryIn(P("out")).empty(); }));
    kill(killed.pid(), SIGKILL);
    EXPECT_EQ(killed.Wait().status, -SIGKILL);
  }
  const std::string killedStaging = TemporaryIn(P("out"));
  ASSERT_FALSE(killedStaging.empty());

  pid_t dead = fork();
  if (dead == 0) _exit(0);
  waitpid(dead, nullptr, 0);
  const std::string self = std::to_string(getpid()), gone = std::to_string(dead);
  auto temp = [&](const std::string& pid, const std::string& rest, int ageSeconds) {
    const std::string path = P("out/.vxaudio-tmp." + pid + "." + rest);
    vxtest::WriteBytes(path, "partial");
    const timespec when[2] = {{time(nullptr) - ageSeconds, 0}, {time(nullptr) - ageSeconds, 0}};
    utimensat(AT_FDCWD, path.c_str(), when, 0);
    return path;
  };
  // A writer that is still running holds a lock on its temporary.
  const std::string held = temp(self, "aaaaaa.held.wav", 7200);
  const int heldFd = open(held.c_str(), O_RDONLY);
  ASSERT_EQ(flock(heldFd, LOCK_EX), 0);
  struct Case {
    std::string path;
    bool removed;
  };
  const std::vector<Case> cases = {
      {killedStaging, true},
      {temp(gone, "bbbbbb.dead.wav", 0), true},        // its process is gone
      {temp(self, "cccccc.fresh.wav", 0), false},      // just made by a live process
      {temp(self, "dddddd.old.wav", 7200), true},      // unlocked for two hours
      {held, false},
      {temp(gone, "x.not-ours.wav", 7200), false}};  // another naming
  ASSERT_EQ(RunIn({"export", "-q", "talk.wav", "out/next.wav"}, dir.Path()).status, 0);
  for (const Case& c : cases) EXPECT_EQ(fs::exists(c.path), !c.removed) << c.path;
  close(heldFd);
}

TEST_F(OutputSafety, AForcedSplitReplacesTheWholeOlderSet) {
  WriteTalk(P("five.wav"), 5);
  ASSERT_EQ(RunIn({"split", "-q", "five.wav", "parts"}, dir.Path()).status, 0);
  vxtest::WriteBytes(P("parts/piece-0042.aif"), "a piece of some older run");
  vxtest::WriteBytes(P("parts/notes.txt"), "mine");
  ASSERT_EQ(RunIn({"split", "-q", "talk.wav", "parts", "--force"}, dir.Path()).status, 0);

  std::vector<std::string> listed;
  const auto index = nlohmann::json::parse(vxtest::Slurp(P("parts/index.json")));
  for (const auto& p : index["pieces"]) listed.push_back(p["file"]);
  EXPECT_EQ(listed, (std::vector<std::string>{"piece-001.wav", "piece-002.wav", "piece-003.wav"}));
  std::vector<std::string> onDisk;
  for (const auto& [name, content] : Snap(P("parts"))) onDisk.push_back(name);
  EXPECT_EQ(onDisk, (std::vector<std::string>{"index.csv", "index.json", "notes.txt",
                                              "piece-001.wav", "piece-002.wav", "piece-003.wav"}));
  EXPECT_EQ(vxtest::Lines(vxtest::Slurp(P("parts/index.csv"))).size(), 4u);
}

TEST_F(OutputSafety, ExportsRacingForOneNameLeaveOneCompleteFile) {
  SF_INFO want{};
  vxtest::ReadSound(P("long.wav"), &want);
  for (int round = 0; round < 2; ++round) {
    Child a({"export", "-q", "long.wav", "same.wav", "--force"}, dir.Path());
    Child b({"export", "-q", "long.wav", "same.wav", "--force", "--channels", "1"}, dir.Path());
    const Ended ea = a.Wait(), eb = b.Wait();
    EXPECT_EQ(std::pair(ea.status, eb.status), std::pair(0, 0)) << ea.err << eb.err;
    SF_INFO got{};
    const auto samples = vxtest::ReadSound(P("same.wav"), &got);
    EXPECT_EQ(got.frames, want.frames);
    EXPECT_EQ(samples.size(), size_t(got.frames * got.channels));
    EXPECT_EQ(TemporaryIn(dir.Path()), "");
  }
}

}  // namespace
