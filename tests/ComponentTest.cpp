// The component as a host uses it: through the runtime and the loaded
// module only. The engine is linked here solely as an independent reference
// for the list results.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "AudioFile.h"
#include "nsCOMPtr.h"
#include "nsXPCOM.h"
#include "vxIAudioFile.h"

namespace {

const char* const kModule = VX_BUILD_DIR "/libvxAudioFile.so";

// Redirects fd 1, where both stdio and NSPR's standard output end up.
class StdoutCapture {
 public:
  StdoutCapture() : mFile(std::tmpfile()) {
    std::fflush(stdout);
    mSaved = dup(1);
    dup2(fileno(mFile), 1);
  }
  ~StdoutCapture() { Finish(); }
  std::string Finish() {
    if (mSaved >= 0) {
      std::fflush(stdout);
      dup2(mSaved, 1);
      close(mSaved);
      mSaved = -1;
      std::rewind(mFile);
      for (int c; (c = std::fgetc(mFile)) != EOF;) mText += static_cast<char>(c);
      std::fclose(mFile);
    }
    return mText;
  }

 private:
  std::FILE* mFile;
  int mSaved = -1;
  std::string mText;
};

std::string TempPath(const std::string& aName) {
  return ::testing::TempDir() + "vxcomponent-" + std::to_string(getpid()) + "-" + aName;
}

std::string WriteSound(const std::string& aName, int aRate, int aChannels, int aFrames,
                       const std::function<float(int)>& aSample) {
  std::string path = TempPath(aName);
  SF_INFO info{};
  info.samplerate = aRate;
  info.channels = aChannels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  EXPECT_NE(file, nullptr);
  std::vector<float> frames(static_cast<size_t>(aFrames) * aChannels);
  for (int i = 0; i < aFrames; ++i)
    for (int c = 0; c < aChannels; ++c) frames[static_cast<size_t>(i) * aChannels + c] = aSample(i);
  sf_writef_float(file, frames.data(), aFrames);
  sf_close(file);
  return path;
}

// Tone, one second of nothing, tone: a silence for the detector to find.
float ToneWithPause(int i) {
  bool loud = i < 22050 || i >= 66150;
  return loud ? 0.5f * std::sin(2.0f * 3.14159265f * 440.0f * i / 44100.0f) : 0.0f;
}

std::vector<int32_t> Values(vxIIntVector* aVector) {
  int32_t length = 0;
  aVector->GetLength(&length);
  std::vector<int32_t> values(length);
  for (int32_t i = 0; i < length; ++i) aVector->GetAt(i, &values[i]);
  return values;
}

class RecordingListener final : public vxIPlayListener {
 public:
  struct Call { std::thread::id thread; char kind; int32_t value; };  // kind: p e x ?
  std::vector<Call> calls;
  nsrefcnt refs = 0;

  nsresult QueryInterface(const nsIID& aIID, void** aResult) override {
    bool ok = aIID.Equals(NS_GET_IID(vxIPlayListener)) || aIID.Equals(NS_GET_IID(nsISupports));
    *aResult = ok ? static_cast<vxIPlayListener*>(this) : nullptr;
    return ok ? (AddRef(), NS_OK) : NS_NOINTERFACE;
  }
  nsrefcnt AddRef() override { return ++refs; }
  nsrefcnt Release() override { return --refs; }
  nsresult OnPlayError() override { return Record('x', 0); }
  nsresult OnPlayEnd() override { return Record('e', 0); }
  nsresult OnPlayPause(int32_t) override { return Record('?', 0); }
  nsresult OnPlayPosition(int32_t aPos) override { return Record('p', aPos); }
  size_t Count(char aKind) const {
    return std::count_if(calls.begin(), calls.end(), [&](const Call& c) { return c.kind == aKind; });
  }

 private:
  nsresult Record(char aKind, int32_t aValue) {
    calls.push_back({std::this_thread::get_id(), aKind, aValue});
    return NS_OK;
  }
};

class ComponentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(NS_InitXPCOM(nullptr), NS_OK);
    StdoutCapture out;
    nsCOMPtr<nsIComponentRegistrar> registrar;
    NS_GetComponentRegistrar(getter_AddRefs(registrar));
    ASSERT_EQ(registrar->AutoRegister(File(kModule).get()), NS_OK);
    ASSERT_EQ(out.Finish(), "Chargement audioquarnel.\n");
  }
  void TearDown() override { EXPECT_EQ(NS_ShutdownXPCOM(nullptr), NS_OK); }

  static nsCOMPtr<nsIFile> File(const std::string& aPath) {
    nsCOMPtr<nsIFile> file;
    NS_NewNativeLocalFile(nsCString(aPath.c_str()), false, getter_AddRefs(file));
    return file;
  }
  static nsCOMPtr<vxIAudioFile> Create(const std::string& aSound = "") {
    StdoutCapture out;
    nsCOMPtr<vxIAudioFile> audio = do_CreateInstance<vxIAudioFile>(VX_AUDIOFILE_CONTRACTID);
    if (audio && !aSound.empty()) {
      EXPECT_EQ(audio->InitAudio(File(aSound).get()), NS_OK);
    }
    EXPECT_EQ(out.Finish().rfind("New audiofile\n", 0), 0u);
    return audio;
  }
};

TEST(ComponentModule, ExportsNSGetModuleAlone) {
  std::FILE* nm = popen(("nm -D --defined-only " + std::string(kModule)).c_str(), "r");
  ASSERT_NE(nm, nullptr);
  std::set<std::string> names;
  char line[512];
  while (std::fgets(line, sizeof line, nm)) {
    std::istringstream fields(line);
    std::string address, type, name;
    fields >> address >> type >> name;
    names.insert(name);
  }
  ASSERT_EQ(pclose(nm), 0);
  EXPECT_EQ(names, std::set<std::string>{"NSGetModule"});
}

TEST_F(ComponentTest, FactoryRefusesAggregationAndUnknownInterfaces) {
  nsCOMPtr<nsIComponentManager> manager;
  NS_GetComponentManager(getter_AddRefs(manager));
  nsCOMPtr<vxIIntVector> outer = do_CreateInstance<vxIIntVector>(VX_INTVECTOR_CONTRACTID);
  void* result = &result;
  {
    StdoutCapture out;
    EXPECT_EQ(manager->CreateInstanceByContractID(VX_AUDIOFILE_CONTRACTID, outer.get(),
                                                  NS_GET_IID(vxIAudioFile), &result),
              0x80040110u);
    EXPECT_EQ(out.Finish(), "");
    EXPECT_EQ(result, nullptr);
  }
  {
    result = &result;
    StdoutCapture out;
    EXPECT_EQ(manager->CreateInstanceByContractID(VX_AUDIOFILE_CONTRACTID, nullptr,
                                                  NS_GET_IID(vxIIntVector), &result),
              NS_NOINTERFACE);
    EXPECT_EQ(out.Finish(), "New audiofile\ndelete audiofile\n");
    EXPECT_EQ(result, nullptr);
  }
  // For nsISupports: one line and exactly the caller's reference.
  nsISupports* object = nullptr;
  StdoutCapture out;
  ASSERT_EQ(manager->CreateInstanceByContractID(VX_AUDIOFILE_CONTRACTID, nullptr,
                                                NS_GET_IID(nsISupports),
                                                reinterpret_cast<void**>(&object)),
            NS_OK);
  EXPECT_EQ(out.Finish(), "New audiofile\n");
  EXPECT_EQ(object->AddRef(), 2u);
  EXPECT_EQ(object->Release(), 1u);
  StdoutCapture last;
  EXPECT_EQ(object->Release(), 0u);
  EXPECT_EQ(last.Finish(), "delete audiofile\n");
}

TEST_F(ComponentTest, IdentityAndFreshProperties) {
  nsCOMPtr<vxIAudioFile> audio = Create();
  ASSERT_TRUE(audio);
  nsCOMPtr<nsISupports> base = do_QueryInterface<nsISupports>(audio.get());
  nsCOMPtr<vxIAudioFile> again = do_QueryInterface<vxIAudioFile>(base.get());
  EXPECT_EQ(static_cast<nsISupports*>(again.get()), base.get());
  EXPECT_EQ(again.get(), audio.get());
  nsresult rv = NS_OK;
  EXPECT_FALSE(do_QueryInterface<vxIPlayListener>(audio.get(), &rv));
  EXPECT_EQ(rv, NS_NOINTERFACE);

  int32_t rate = -1, frames = -1, channels = -1, bits = -1;
  EXPECT_EQ(audio->GetSampleRate(&rate), NS_OK);
  EXPECT_EQ(audio->GetSmpNb(&frames), NS_OK);
  EXPECT_EQ(audio->GetChannels(&channels), NS_OK);
  EXPECT_EQ(audio->GetBitsPerSample(&bits), NS_OK);
  EXPECT_EQ(rate + frames + channels, 0);
  EXPECT_EQ(bits, 16);
  EXPECT_EQ(audio->GetSmpNb(nullptr), NS_ERROR_NULL_POINTER);
}

TEST_F(ComponentTest, InitAudioMapsEngineResults) {
  std::string tone = WriteSound("init.wav", 48000, 1, 4800, ToneWithPause);
  std::string zeros = WriteSound("zeros.wav", 22050, 2, 100, [](int) { return 0.0f; });
  nsCOMPtr<vxIAudioFile> audio = Create();
  StdoutCapture quiet;
  EXPECT_EQ(audio->InitAudio(File(tone).get()), NS_OK);
  int32_t rate = 0, frames = 0, channels = 0;
  audio->GetSampleRate(&rate);
  audio->GetSmpNb(&frames);
  audio->GetChannels(&channels);
  EXPECT_EQ(rate, 48000);
  EXPECT_EQ(frames, 4800);
  EXPECT_EQ(channels, 1);
  // All samples zero: described, but the engine reports a failed scan.
  EXPECT_EQ(audio->InitAudio(File(zeros).get()), NS_ERROR_FAILURE);
  audio->GetChannels(&channels);
  EXPECT_EQ(channels, 2);
  EXPECT_EQ(audio->InitAudio(File(TempPath("missing.wav")).get()), NS_ERROR_INVALID_ARG);
  EXPECT_EQ(audio->InitAudio(nullptr), NS_ERROR_NULL_POINTER);
}

TEST_F(ComponentTest, ExportTracesAndClosesOnlyOnSuccess) {
  std::string tone = WriteSound("export-src.wav", 44100, 1, 8000, ToneWithPause);
  nsCOMPtr<vxIAudioFile> audio = Create(tone);
  std::string target = TempPath("part.wav");
  StdoutCapture out;
  EXPECT_EQ(audio->ExportPartAudio(File(target).get(), 100, 1000), NS_OK);
  std::string text = out.Finish();
  std::string opening = "=>vxAudioFile::ExportPartAudio=>\nCheck input : \n"
                        "int err = myAudioFile->Export(outPathChar, 16, 2, aStart, aLen);\n"
                        "outPathChar : " + target + "\naStart : 100\naLen : 1000\n";
  EXPECT_EQ(text.rfind(opening, 0), 0u) << text;
  EXPECT_NE(text.find("Sound File Info : "), std::string::npos);
  EXPECT_TRUE(text.ends_with("<=vxAudioFile::ExportPartAudio<=\n")) << text;
  SF_INFO info{};
  SNDFILE* written = sf_open(target.c_str(), SFM_READ, &info);
  ASSERT_NE(written, nullptr);
  sf_close(written);
  EXPECT_EQ(info.frames, 1000);
  EXPECT_EQ(info.channels, 2);
  EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);

  // A format libsndfile refuses (positive) and an output it cannot open
  // (negative): the description is printed, the closing line is not.
  StdoutCapture failed;
  EXPECT_EQ(audio->ExportPartAudio(File(TempPath("part.xyz")).get(), 0, 10), NS_ERROR_FAILURE);
  EXPECT_EQ(audio->ExportFullAudio(File("/nonexistent/dir/full.wav").get()),
            NS_ERROR_INVALID_ARG);
  text = failed.Finish();
  EXPECT_NE(text.find("=>vxAudioFile::ExportFullAudio=>\nCheck input : \n"
                      "int err = myAudioFile->Export(outPathChar);\n"
                      "outPathChar : /nonexistent/dir/full.wav\n"),
            std::string::npos);
  EXPECT_EQ(text.find("<=vxAudioFile::"), std::string::npos) << text;
  EXPECT_NE(text.find("Sound File Info : "), text.rfind("Sound File Info : "));
  EXPECT_EQ(audio->ExportFullAudio(nullptr), NS_ERROR_NULL_POINTER);
}

TEST_F(ComponentTest, OverviewInterleavesTheEnginesColumns) {
  std::string tone = WriteSound("graph.wav", 44100, 2, 30000, ToneWithPause);
  nsCOMPtr<vxIAudioFile> audio = Create(tone);
  StdoutCapture quiet;
  AudioFile reference;
  reference.InitAudio(tone.c_str());
  std::vector<int32_t> minima, maxima;
  ASSERT_EQ(reference.Audio2Graph(minima, maxima, 3, 200, 1000, 29000), 0);
  ASSERT_EQ(minima.size(), 3u);

  nsCOMPtr<vxIIntVector> graph;
  ASSERT_EQ(audio->Audio2Graph(3, 200, 1000, 29000, getter_AddRefs(graph)), NS_OK);
  EXPECT_EQ(Values(graph.get()), (std::vector<int32_t>{minima[0], maxima[0], minima[1],
                                                       maxima[1], minima[2], maxima[2]}));
  // Bad columns or height: no vector, and a stale one is not left behind.
  EXPECT_EQ(audio->Audio2Graph(29001, 200, 1000, 29000, getter_AddRefs(graph)),
            NS_ERROR_INVALID_ARG);
  EXPECT_FALSE(graph);
  EXPECT_EQ(audio->Audio2Graph(3, 0, 0, 100, getter_AddRefs(graph)), NS_ERROR_INVALID_ARG);
  // An empty range is checked first: nothing to draw, whatever the sizes.
  ASSERT_EQ(audio->Audio2Graph(0, 0, 30000, 10, getter_AddRefs(graph)), NS_OK);
  EXPECT_TRUE(Values(graph.get()).empty());
  EXPECT_EQ(audio->Audio2Graph(3, 200, 0, 30000, nullptr), NS_ERROR_NULL_POINTER);
}

TEST_F(ComponentTest, SilencesComeBackAsPairsAndFailuresNeverAsBadArguments) {
  std::string tone = WriteSound("silence.wav", 44100, 1, 88200, ToneWithPause);
  std::string slow = WriteSound("slow.wav", 22050, 1, 44100, ToneWithPause);
  nsCOMPtr<vxIAudioFile> audio = Create(tone);
  StdoutCapture quiet;
  AudioFile reference;
  reference.InitAudio(tone.c_str());
  std::vector<MarkPair> marks;
  ASSERT_EQ(reference.SilenceDetect(marks, 1.0f, 0.0f, 0.25f, 0.05f, 1), 0);
  ASSERT_FALSE(marks.empty());
  std::vector<int32_t> expected;
  for (const MarkPair& mark : marks) expected.insert(expected.end(), {mark.start, mark.end});

  nsCOMPtr<vxIIntVector> silences;
  ASSERT_EQ(audio->SilenceDetect(1.0f, 0.0f, 0.25f, 0.05f, getter_AddRefs(silences)), NS_OK);
  EXPECT_EQ(Values(silences.get()), expected);
  EXPECT_EQ(audio->SilenceDetect(1.0f, 0.0f, 0.25f, 0.05f, nullptr), NS_ERROR_NULL_POINTER);

  // The detector refuses the rate (positive) or cannot open anything
  // (negative): both are plain failures.
  nsCOMPtr<vxIAudioFile> slowAudio = Create(slow);
  EXPECT_EQ(slowAudio->SilenceDetect(1.0f, 0.0f, 0.25f, 0.05f, getter_AddRefs(silences)),
            NS_ERROR_FAILURE);
  EXPECT_FALSE(silences);
  nsCOMPtr<vxIAudioFile> unopened = Create();
  EXPECT_EQ(unopened->SilenceDetect(1.0f, 0.0f, 0.25f, 0.05f, getter_AddRefs(silences)),
            NS_ERROR_FAILURE);
}

// ---- playback: rendered by ALSA into a file instead of a device ----

class ComponentPlayTest : public ComponentTest {
 protected:
  static void SetUpTestSuite() {
    static std::once_flag once;
    std::call_once(once, [] {
      std::string config = TempPath("asound.conf");
      std::ofstream(config) << "</usr/share/alsa/alsa.conf>\n"
                            << "pcm.!default { type file slave.pcm \"null\" file \""
                            << PlayedPath() << "\" format \"wav\" }\n";
      setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
    });
  }
  static std::string PlayedPath() { return TempPath("played.wav"); }

  // Runs this thread's queue until aDone holds or a few seconds have gone.
  static void Pump(const std::function<bool()>& aDone) {
    nsCOMPtr<nsIEventQueue> queue;
    NS_GetCurrentEventQueue(getter_AddRefs(queue));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
      bool pending = false;
      queue->WaitForEvent(20, &pending);
      queue->ProcessPendingEvents();
    } while (!aDone() && std::chrono::steady_clock::now() < deadline);
  }
};

TEST_F(ComponentPlayTest, NotificationsArriveOnTheHostThreadInOrder) {
  std::string tone = WriteSound("play.wav", 44100, 2, 20000, ToneWithPause);
  RecordingListener listener;  // outlives the object that holds it
  nsCOMPtr<vxIAudioFile> audio = Create(tone);
  EXPECT_EQ(audio->StopPlayAudio(), NS_OK);  // nothing played, nobody to tell
  ASSERT_EQ(audio->StartPlayAudio(0, 0, 1.0f, &listener, 0), NS_OK);
  ASSERT_EQ(listener.calls.size(), 1u);  // the direct position 0, before any queued one
  EXPECT_EQ(listener.calls[0].kind, 'p');
  EXPECT_EQ(listener.calls[0].value, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(listener.calls.size(), 1u);  // the rest waits for the host's queue
  Pump([&] { return listener.Count('e') > 0; });

  ASSERT_EQ(listener.calls.back().kind, 'e');
  EXPECT_EQ(listener.Count('e'), 1u);
  EXPECT_EQ(listener.Count('x'), 0u);
  // One position per 1024-frame buffer, 20000 frames: 19 full buffers, the
  // one with the last frame ends the stream.
  EXPECT_EQ(listener.Count('p'), 20u);
  for (size_t i = 0; i < listener.calls.size(); ++i) {
    EXPECT_EQ(listener.calls[i].thread, std::this_thread::get_id());
    if (listener.calls[i].kind == 'p') {
      EXPECT_EQ(listener.calls[i].value, 1024 * int32_t(i));
    }
  }
  // The stop reports itself directly, once, even after a playback that
  // ended by itself.
  EXPECT_EQ(audio->StopPlayAudio(), NS_OK);
  EXPECT_EQ(listener.Count('e'), 2u);
  Pump([] { return true; });
  EXPECT_EQ(listener.Count('e'), 2u);
}

TEST_F(ComponentPlayTest, FailedStartStillReportsPositionZero) {
  RecordingListener listener;
  nsCOMPtr<vxIAudioFile> audio = Create();  // no file: no channels to open a stream with
  StdoutCapture quiet;
  EXPECT_EQ(audio->StartPlayAudio(0, 0, 1.0f, &listener, 0), NS_ERROR_INVALID_ARG);
  ASSERT_EQ(listener.calls.size(), 1u);
  EXPECT_EQ(listener.calls[0].value, 0);
  EXPECT_EQ(audio->StartPlayAudio(0, 0, 1.0f, nullptr, 0), NS_ERROR_NULL_POINTER);
  EXPECT_EQ(listener.calls.size(), 1u);
  audio = nullptr;
  EXPECT_EQ(listener.refs, 0u);
}

TEST_F(ComponentPlayTest, LastReleaseClosesARunningStream) {
  std::string longTone = WriteSound("long.wav", 44100, 2, 44100 * 30, ToneWithPause);
  RecordingListener listener;
  nsCOMPtr<vxIAudioFile> audio = Create(longTone);
  ASSERT_EQ(audio->StartPlayAudio(0, 0, 1.0f, &listener, 44100), NS_OK);
  Pump([&] { return listener.Count('p') > 1; });
  ASSERT_GT(listener.Count('p'), 1u);
  {
    StdoutCapture out;
    audio = nullptr;
    EXPECT_EQ(out.Finish(), "delete audiofile\n");
  }
  struct stat before{}, after{};
  stat(PlayedPath().c_str(), &before);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stat(PlayedPath().c_str(), &after);
  EXPECT_EQ(before.st_size, after.st_size);  // nothing is rendered any more
  Pump([] { return true; });
  EXPECT_EQ(listener.Count('e'), 0u);
  EXPECT_EQ(listener.Count('x'), 0u);
}

}  // namespace
