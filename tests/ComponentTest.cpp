// The component as a host uses it: through the runtime and the loaded
// module only. The engine is linked here solely as an independent reference
// for the list results.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>
#include <tuple>

#include "AudioFile.h"
#include "PlaybackCapture.h"
#include "SoundFixture.h"
#include "VxProcess.h"
#include "nsCOMPtr.h"
#include "RecordingListener.h"
#include "nsSupportsImpl.h"
#include "nsXPCOM.h"
#include "vxIAudioFile.h"

namespace {

const char* const kModule = VX_BUILD_DIR "/libvxAudioFile.so";

// NSPR's standard output is fd 1, as stdio's is, and GoogleTest's capture
// redirects that descriptor. One capture at a time; ended even when an
// assertion leaves the test early.
class StdoutCapture {
 public:
  StdoutCapture() { ::testing::internal::CaptureStdout(); }
  ~StdoutCapture() { Finish(); }
  std::string Finish() {
    if (!mText) mText = ::testing::internal::GetCapturedStdout();
    return *mText;
  }

 private:
  std::optional<std::string> mText;
};

using Shape = std::array<int32_t, 4>;  // sample rate, frames, channels, bits per sample

Shape ShapeOf(vxIAudioFile* aAudio) {
  Shape s{-1, -1, -1, -1};
  EXPECT_EQ(aAudio->GetSampleRate(&s[0]) | aAudio->GetSmpNb(&s[1]) | aAudio->GetChannels(&s[2]) |
                aAudio->GetBitsPerSample(&s[3]), NS_OK);
  return s;
}

std::vector<int32_t> Values(vxIIntVector* aVector) {
  int32_t length = 0;
  aVector->GetLength(&length);
  std::vector<int32_t> values(length);
  for (int32_t i = 0; i < length; ++i) aVector->GetAt(i, &values[i]);
  return values;
}

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
    if (audio && !aSound.empty()) { EXPECT_EQ(audio->InitAudio(File(aSound).get()), NS_OK); }
    EXPECT_TRUE(out.Finish().starts_with("New audiofile\n"));
    return audio;
  }
  // A 440 Hz tone with one second of nothing from frame 22050 on: a
  // silence for the detector to find.
  std::string Tone(const char* aName, int aRate, int aChannels, int aFrames) {
    std::vector<float> v = vxtest::Sine(aFrames, aChannels, aRate, 440.0);
    const size_t end = std::min(v.size(), size_t(66150) * aChannels);
    for (size_t i = size_t(22050) * aChannels; i < end; ++i) v[i] = 0;
    return vxtest::WriteSound(mDir.File(aName), v, aChannels, aRate);
  }

  vxtest::TempDir mDir;
};

TEST(ComponentModule, ExportsNSGetModuleAlone) {
  vxtest::TempDir dir;
  const auto nm = vxtest::RunVx("nm -D --defined-only " + std::string(kModule) + " | awk '{print $3}'", dir.Path());
  EXPECT_EQ(std::pair(nm.status, nm.out), std::pair(0, std::string("NSGetModule\n")));
}

// A refused creation leaves no object behind; an accepted one holds just
// the caller's reference, and all its interfaces are one object.
TEST_F(ComponentTest, FactoryRefusalsAndIdentity) {
  nsCOMPtr<nsIComponentManager> manager;
  NS_GetComponentManager(getter_AddRefs(manager));
  nsCOMPtr<vxIIntVector> outer = do_CreateInstance<vxIIntVector>(VX_INTVECTOR_CONTRACTID);
  struct { nsISupports* outer; nsIID iid; nsresult rv; const char* printed; } creations[] = {
      {outer.get(), NS_GET_IID(vxIAudioFile), 0x80040110u, ""},  // no aggregation
      {nullptr, NS_GET_IID(vxIIntVector), NS_NOINTERFACE, "New audiofile\ndelete audiofile\n"},
      {nullptr, NS_GET_IID(nsISupports), NS_OK, "New audiofile\n"}};
  void* result = nullptr;
  for (const auto& c : creations) {
    result = &result;
    StdoutCapture out;
    EXPECT_EQ(manager->CreateInstanceByContractID(VX_AUDIOFILE_CONTRACTID, c.outer, c.iid, &result), c.rv);
    EXPECT_EQ(out.Finish(), c.printed);
    EXPECT_EQ(result != nullptr, c.rv == NS_OK);
  }
  auto* object = static_cast<nsISupports*>(result);
  ASSERT_NE(object, nullptr);
  {
    nsCOMPtr<vxIAudioFile> audio = do_QueryInterface<vxIAudioFile>(object);
    EXPECT_EQ(static_cast<nsISupports*>(audio.get()), object);
    EXPECT_EQ(do_QueryInterface<nsISupports>(audio.get()).get(), object);
    void* listener = &listener;
    EXPECT_EQ(object->QueryInterface(NS_GET_IID(vxIPlayListener), &listener), NS_NOINTERFACE);
    EXPECT_EQ(listener, nullptr);
  }
  StdoutCapture last;  // the creation's reference was the only one left
  EXPECT_EQ(object->Release(), 0u);
  EXPECT_EQ(last.Finish(), "delete audiofile\n");
}

TEST_F(ComponentTest, ExportTracesAndClosesOnlyOnSuccess) {
  nsCOMPtr<vxIAudioFile> audio = Create(Tone("export-src.wav", 44100, 1, 8000));
  std::string target = mDir.File("part.wav");
  StdoutCapture out;
  EXPECT_EQ(audio->ExportPartAudio(File(target).get(), 100, 1000), NS_OK);
  std::string text = out.Finish();
  EXPECT_TRUE(text.starts_with("=>vxAudioFile::ExportPartAudio=>\nCheck input : \n"
                               "int err = myAudioFile->Export(outPathChar, 16, 2, aStart, aLen);\n"
                               "outPathChar : " + target + "\naStart : 100\naLen : 1000\n")) << text;
  EXPECT_NE(text.find("Sound File Info : "), std::string::npos);
  EXPECT_TRUE(text.ends_with("<=vxAudioFile::ExportPartAudio<=\n")) << text;
  SF_INFO info{};
  vxtest::ReadSound(target, &info);
  EXPECT_EQ(std::tuple(info.frames, info.channels, info.format),
            std::tuple(sf_count_t{1000}, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16));

  // A format the writer refuses (positive) and an output it cannot open
  // (negative): the description is printed, the closing line is not.
  StdoutCapture failed;
  EXPECT_EQ(audio->ExportPartAudio(File(mDir.File("part.xyz")).get(), 0, 10), NS_ERROR_FAILURE);
  EXPECT_EQ(audio->ExportFullAudio(File("/nonexistent/dir/full.wav").get()), NS_ERROR_INVALID_ARG);
  text = failed.Finish();
  EXPECT_NE(text.find("=>vxAudioFile::ExportFullAudio=>\nCheck input : \n"
                      "int err = myAudioFile->Export(outPathChar);\n"
                      "outPathChar : /nonexistent/dir/full.wav\n"), std::string::npos);
  EXPECT_EQ(text.find("<=vxAudioFile::"), std::string::npos) << text;
  EXPECT_NE(text.find("Sound File Info : "), text.rfind("Sound File Info : "));
  EXPECT_EQ(audio->ExportFullAudio(nullptr), NS_ERROR_NULL_POINTER);
}

// Both lists are the engine's own results, flattened into one vector; an
// object that failed first can still be given a file.
TEST_F(ComponentTest, ListsAndPropertiesAreTheEnginesResults) {
  std::string tone = Tone("lists.wav", 44100, 1, 88200);
  nsCOMPtr<vxIAudioFile> audio = Create(tone);
  nsCOMPtr<vxIAudioFile> slow = Create(Tone("slow.wav", 22050, 1, 44100));
  nsCOMPtr<vxIAudioFile> unopened = Create();
  StdoutCapture quiet;
  AudioFile reference;
  reference.InitAudio(tone.c_str());
  std::vector<int32_t> minima, maxima, columns, silences;
  std::vector<MarkPair> marks;
  ASSERT_EQ(reference.Audio2Graph(minima, maxima, 3, 200, 1000, 29000), 0);
  ASSERT_EQ(minima.size(), 3u);
  for (size_t i = 0; i < 3; ++i) columns.insert(columns.end(), {minima[i], maxima[i]});
  ASSERT_EQ(reference.SilenceDetect(marks, 1.0f, 0.0f, 0.25f, 0.05f, 1), 0);
  ASSERT_FALSE(marks.empty());
  for (const MarkPair& mark : marks) silences.insert(silences.end(), {mark.start, mark.end});

  nsCOMPtr<vxIIntVector> list;
  ASSERT_EQ(audio->Audio2Graph(3, 200, 1000, 29000, getter_AddRefs(list)), NS_OK);
  EXPECT_EQ(Values(list.get()), columns);
  ASSERT_EQ(audio->SilenceDetect(1.0f, 0.0f, 0.25f, 0.05f, getter_AddRefs(list)), NS_OK);
  EXPECT_EQ(Values(list.get()), silences);
  // More columns than frames: no vector, and a stale one is not left behind.
  EXPECT_EQ(audio->Audio2Graph(29001, 200, 1000, 29000, getter_AddRefs(list)), NS_ERROR_INVALID_ARG);
  EXPECT_FALSE(list);
  // An empty range is checked first: nothing to draw, whatever the sizes.
  ASSERT_EQ(audio->Audio2Graph(0, 0, 88200, 10, getter_AddRefs(list)), NS_OK);
  EXPECT_TRUE(Values(list.get()).empty());
  EXPECT_EQ(audio->Audio2Graph(3, 200, 0, 30000, nullptr), NS_ERROR_NULL_POINTER);
  EXPECT_EQ(audio->SilenceDetect(1.0f, 0.0f, 0.25f, 0.05f, nullptr), NS_ERROR_NULL_POINTER);
  // The detector refuses the rate (positive) or cannot open anything
  // (negative): both are plain failures, never bad arguments.
  for (vxIAudioFile* failing : {slow.get(), unopened.get()}) {
    ASSERT_EQ(audio->SilenceDetect(1.0f, 0.0f, 0.25f, 0.05f, getter_AddRefs(list)), NS_OK);
    EXPECT_EQ(failing->SilenceDetect(1.0f, 0.0f, 0.25f, 0.05f, getter_AddRefs(list)), NS_ERROR_FAILURE);
    EXPECT_FALSE(list);
  }
  // The properties follow InitAudio, which maps the engine's results.
  EXPECT_EQ(ShapeOf(unopened.get()), (Shape{0, 0, 0, 16}));
  EXPECT_EQ(unopened->GetSmpNb(nullptr), NS_ERROR_NULL_POINTER);
  EXPECT_EQ(unopened->InitAudio(File(Tone("init.wav", 48000, 1, 4800)).get()), NS_OK);
  EXPECT_EQ(ShapeOf(unopened.get()), (Shape{48000, 4800, 1, 16}));
  // All samples zero: described, but the engine reports a failed scan.
  const std::string zeros = vxtest::WriteSound(mDir.File("zeros.wav"), std::vector<float>(200), 2, 22050);
  EXPECT_EQ(unopened->InitAudio(File(zeros).get()), NS_ERROR_FAILURE);
  EXPECT_EQ(ShapeOf(unopened.get()), (Shape{22050, 100, 2, 16}));
  EXPECT_EQ(unopened->InitAudio(File(mDir.File("missing.wav")).get()), NS_ERROR_INVALID_ARG);
  EXPECT_EQ(unopened->InitAudio(nullptr), NS_ERROR_NULL_POINTER);
}

// ---- playback: rendered by ALSA into a file instead of a device ----

class ComponentPlayTest : public ComponentTest {
 protected:
  static void SetUpTestSuite() {
    const std::string played = ProcessFile("played.wav");
    vxtest::UseAlsaDefault(std::filesystem::path(played).parent_path(), vxtest::FilePcm(played));
  }
  // The ALSA configuration is read once per process, so its files live as long.
  static std::string ProcessFile(const char* aName) {
    static vxtest::TempDir dir;
    return dir.File(aName);
  }
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
  RecordingListener listener;  // outlives the object that holds it
  nsCOMPtr<vxIAudioFile> audio = Create(Tone("play.wav", 44100, 2, 20000));
  EXPECT_EQ(audio->StopPlayAudio(), NS_OK);  // nothing played, nobody to tell
  ASSERT_EQ(audio->StartPlayAudio(0, 0, 1.0f, &listener, 0), NS_OK);
  EXPECT_EQ(listener.log, "p0 ");  // the direct position 0, before any queued one
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(listener.log, "p0 ");  // the rest waits for the host's queue
  Pump([&] { return listener.log.find('e') != std::string::npos; });
  // One position per 1024-frame buffer, 20000 frames: 19 full buffers, the
  // one with the last frame ends the stream.
  std::string played;
  for (int i = 0; i < 20; ++i) played += "p" + std::to_string(1024 * i) + " ";
  EXPECT_EQ(listener.log, played + "e0 ");
  // The stop reports itself directly, once, even after a playback that
  // ended by itself.
  EXPECT_EQ(audio->StopPlayAudio(), NS_OK);
  EXPECT_EQ(listener.log, played + "e0 e0 ");
  Pump([] { return true; });
  EXPECT_EQ(listener.log, played + "e0 e0 ");
  EXPECT_EQ(listener.foreignCalls, 0);
}

// A start that fails still reports position 0; the last release of an
// object that plays stops the stream without telling the listener.
TEST_F(ComponentPlayTest, FailedStartAndLastReleaseWhilePlaying) {
  RecordingListener listener;
  nsCOMPtr<vxIAudioFile> audio = Create();  // no file: no channels to open a stream with
  {
    StdoutCapture quiet;
    EXPECT_EQ(audio->StartPlayAudio(0, 0, 1.0f, &listener, 0), NS_ERROR_INVALID_ARG);
    EXPECT_EQ(audio->StartPlayAudio(0, 0, 1.0f, nullptr, 0), NS_ERROR_NULL_POINTER);
  }
  audio = Create(Tone("long.wav", 44100, 2, 44100 * 30));
  EXPECT_EQ(std::pair(listener.log, listener.refs), std::pair(std::string("p0 "), nsrefcnt{0}));
  listener.log.clear();
  ASSERT_EQ(audio->StartPlayAudio(0, 0, 1.0f, &listener, 44100), NS_OK);
  Pump([&] { return std::ranges::count(listener.log, 'p') > 1; });
  ASSERT_GT(std::ranges::count(listener.log, 'p'), 1);
  StdoutCapture out;
  audio = nullptr;
  EXPECT_EQ(out.Finish(), "delete audiofile\n");
  const auto rendered = std::filesystem::file_size(ProcessFile("played.wav"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(std::filesystem::file_size(ProcessFile("played.wav")), rendered);  // nothing more
  Pump([] { return true; });
  EXPECT_EQ(listener.log.find_first_of("ex"), std::string::npos) << listener.log;
}

}  // namespace
