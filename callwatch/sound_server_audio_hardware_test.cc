#include "sound_server_audio_hardware.h"

#include <gtest/gtest.h>

#include <deque>

#include "core_audio_activity.h"

namespace {

constexpr AudioPropertyAddress global(std::uint32_t selector) {
  return {selector, audioScopeGlobal, audioElementMain};
}

// Hands out the scripted snapshots one per request, counting the requests.
struct ScriptedServer {
  bool reachable = true;
  std::deque<std::optional<AudioClientsSnapshot>> snapshots;
  int connects = 0;
  int reads = 0;

  SoundServerAudioHardware hardware() {
    return SoundServerAudioHardware(
        [this] {
          ++connects;
          return reachable;
        },
        [this]() -> std::optional<AudioClientsSnapshot> {
          ++reads;
          if (snapshots.empty()) return std::nullopt;
          auto next = snapshots.front();
          snapshots.pop_front();
          return next;
        });
  }
};

AudioClient binary(std::uint32_t index, const char* name) {
  return {index, {}, name, {}, {}};
}

// Clients 1 zoom, 2 firefox, 3 teams, 4 without identity; zoom records and
// plays, teams only plays (its recording is corked), firefox plays.
AudioClientsSnapshot meeting() {
  return {99,
          {binary(1, "zoom"), binary(2, "firefox"), binary(3, "teams"), {4, {}, {}, {}, {}}},
          {{1, false}, {2, false}, {3, false}},
          {{1, false}, {3, true}}};
}

std::string describe(const AudioSample& sample) {
  if (!sample) return "none";
  std::string text;
  for (const AudioProcessActivity& record : *sample) {
    text += std::string(rawValue(record.provider())) + (record.input() == true ? " 1" : " 0") +
            (record.output() == true ? " 1" : " 0") + ";";
  }
  return text;
}

TEST(SoundServerAudioHardware, SupportedWhenTheServerCanBeReached) {
  for (bool reachable : {true, false}) {
    ScriptedServer server;
    server.reachable = reachable;
    SoundServerAudioHardware hardware = server.hardware();
    EXPECT_EQ(CoreAudioActivity::isSupported(hardware), reachable);
    EXPECT_EQ(server.connects, 1);
    EXPECT_EQ(server.reads, 0);
  }
}

TEST(SoundServerAudioHardware, EverySampleReadsTheServerOnceAfresh) {
  ScriptedServer server;
  server.snapshots = {meeting(), std::nullopt, AudioClientsSnapshot{}, meeting()};
  SoundServerAudioHardware hardware = server.hardware();
  EXPECT_EQ(describe(CoreAudioActivity::sample(hardware)), "zoom 1 1;teams 0 1;");
  EXPECT_EQ(describe(CoreAudioActivity::sample(hardware)), "none");
  EXPECT_EQ(describe(CoreAudioActivity::sample(hardware)), "");
  EXPECT_EQ(describe(CoreAudioActivity::sample(hardware)), "zoom 1 1;teams 0 1;");
  EXPECT_EQ(server.reads, 4);
  EXPECT_EQ(server.connects, 0);
}

TEST(SoundServerAudioHardware, HandlesOutsideTheLatestSnapshotAreGone) {
  ScriptedServer server;
  server.snapshots = {meeting(), AudioClientsSnapshot{99, {binary(1, "zoom")}, {}, {}}};
  SoundServerAudioHardware hardware = server.hardware();
  std::uint32_t size = 0;
  ASSERT_EQ(hardware.propertyDataSize(audioSystemObject, global(audioProcessObjectList), size), 0);
  EXPECT_EQ(size, 16u);
  std::optional<std::string> text;
  EXPECT_EQ(hardware.stringPropertyData(5, global(audioProcessBundleID), text), 0);
  EXPECT_EQ(text, std::nullopt);  // client 4 has no identity
  ASSERT_EQ(hardware.propertyDataSize(audioSystemObject, global(audioProcessObjectList), size), 0);
  EXPECT_EQ(size, 4u);
  for (AudioObjectId gone : {0u, 3u, 5u, 0xFFFFFFFFu}) {
    EXPECT_EQ(hardware.stringPropertyData(gone, global(audioProcessBundleID), text),
              audioBadObjectError)
        << gone;
    std::uint32_t value = 0;
    std::uint32_t valueSize = sizeof value;
    EXPECT_EQ(hardware.propertyData(gone, global(audioProcessIsRunningInput), valueSize, &value),
              audioBadObjectError)
        << gone;
    EXPECT_FALSE(hardware.hasProperty(gone, global(audioProcessIsRunningOutput))) << gone;
  }
  EXPECT_EQ(hardware.stringPropertyData(2, global(audioProcessBundleID), text), 0);
  EXPECT_EQ(text, "us.zoom.xos");
}

TEST(SoundServerAudioHardware, AnswersOnlyWhatFitsAndWhatExists) {
  ScriptedServer server;
  server.snapshots = {meeting()};
  SoundServerAudioHardware hardware = server.hardware();
  std::uint32_t size = 0;
  ASSERT_EQ(hardware.propertyDataSize(audioSystemObject, global(audioProcessObjectList), size), 0);

  AudioObjectId handles[4] = {};
  std::uint32_t capacity = 2 * sizeof(AudioObjectId);
  ASSERT_EQ(
      hardware.propertyData(audioSystemObject, global(audioProcessObjectList), capacity, handles),
      0);
  EXPECT_EQ(capacity, 8u);
  EXPECT_EQ(handles[0], 2u);
  EXPECT_EQ(handles[1], 3u);
  EXPECT_EQ(handles[2], 0u);

  std::uint16_t small = 0;
  std::uint32_t smallSize = sizeof small;
  EXPECT_NE(hardware.propertyData(2, global(audioProcessIsRunningInput), smallSize, &small), 0);
  EXPECT_EQ(small, 0);

  AudioPropertyAddress otherScope = {audioProcessIsRunningInput, 0x696E7074, 0};  // 'inpt'
  std::uint32_t value = 0;
  std::uint32_t valueSize = sizeof value;
  EXPECT_NE(hardware.propertyData(2, otherScope, valueSize, &value), 0);
  EXPECT_FALSE(hardware.hasProperty(2, otherScope));
  EXPECT_FALSE(hardware.hasProperty(audioSystemObject, global(audioProcessBundleID)));
  EXPECT_TRUE(hardware.hasProperty(2, global(audioProcessBundleID)));
  EXPECT_NE(hardware.propertyDataSize(2, global(audioProcessObjectList), size), 0);
}

}  // namespace
