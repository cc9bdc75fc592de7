#include "audio_clients-linux.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One client of a snapshot; nullptr for a property it lacks. `streams` holds
// r (recording) and p (playback), upper case when the stream is corked.
struct Client {
  const char* processId;
  const char* binary;
  const char* name;
  const char* appId;
  const char* streams;
};

std::optional<std::string> text(const char* value) {
  return value ? std::optional<std::string>(value) : std::nullopt;
}

// The records as "zoom:io teams:-o": provider, then input and output ('-' when
// not running).
std::string records(const std::vector<Client>& clients) {
  AudioClientsSnapshot snapshot;
  std::uint32_t index = 0;
  for (const Client& c : clients) {
    snapshot.clients.push_back(
        {++index, text(c.processId), text(c.binary), text(c.name), text(c.appId)});
    for (const char* s = c.streams; *s; ++s) {
      auto& streams = (*s == 'r' || *s == 'R') ? snapshot.recording : snapshot.playback;
      streams.push_back({index, *s == 'R' || *s == 'P'});
    }
  }
  std::string seen;
  for (const AudioProcessActivity& r : meetingProcesses(snapshot)) {
    seen += std::string(seen.empty() ? "" : " ") + std::string(rawValue(r.provider())) + ":" +
            (*r.input() ? "i" : "-") + (*r.output() ? "o" : "-");
  }
  return seen;
}

TEST(MeetingProcesses, RecognisesApplicationsByExactLinuxNames) {
  const std::pair<Client, const char*> table[] = {
      {{"7", "zoom", nullptr, nullptr, "rp"}, "zoom:io"},
      {{"7", "pacat", "ZOOM VoiceEngine", nullptr, "rp"}, "zoom:io"},
      {{"7", "zoom.real", nullptr, "us.zoom.Zoom", "rp"}, "zoom:io"},
      {{"7", "teams-for-linux", nullptr, nullptr, "rp"}, "teams:io"},
      {{"7", "electron", nullptr, "com.github.IsmaelMartinez.teams_for_linux", "rp"}, "teams:io"},
      {{"7", "teams", "Microsoft Teams", nullptr, "rp"}, "teams:io"},
      {{"7", "Zoom", "Zoom Meeting", "us.zoom.Zoom.Beta", "rp"}, ""},
      {{"7", "zoomed", "zoom", "zoom", "rp"}, ""},
      {{"7", "teamspeak3", "teams", nullptr, "rp"}, ""},
      {{nullptr, nullptr, nullptr, nullptr, "rp"}, ""},
  };
  for (const auto& [client, expected] : table) {
    EXPECT_EQ(records({client}), expected) << "binary " << (client.binary ? client.binary : "-");
  }
}

TEST(MeetingProcesses, AProcessIsItsIdTogetherWithItsIdentity) {
  const std::pair<std::vector<Client>, const char*> table[] = {
      // One Zoom process recording with one client and playing with another.
      {{{"7", "zoom", nullptr, nullptr, "r"}, {"7", "zoom", nullptr, nullptr, "p"}}, "zoom:io"},
      // Two sandboxes whose processes both have the id 1: a Zoom that only
      // records and a player are two processes, whatever tells them apart.
      {{{"1", "zoom", nullptr, nullptr, "r"}, {"1", "pacat", nullptr, nullptr, "p"}}, "zoom:i-"},
      {{{"1", "pacat", "ZOOM VoiceEngine", nullptr, "r"}, {"1", "pacat", "pacat", nullptr, "p"}},
       "zoom:i-"},
      {{{"1", "zoom", nullptr, "us.zoom.Zoom", "r"}, {"1", "zoom", nullptr, nullptr, "p"}},
       "zoom:i- zoom:-o"},
      // Without a process id every client is a process of its own.
      {{{nullptr, "zoom", nullptr, nullptr, "r"}, {nullptr, "zoom", nullptr, nullptr, "p"}},
       "zoom:i- zoom:-o"},
      // Corked streams are not running; order follows the server's clients.
      {{{"8", "teams", nullptr, nullptr, "Rp"}, {"7", "zoom", nullptr, nullptr, "rPp"}},
       "teams:-o zoom:io"},
  };
  for (const auto& [clients, expected] : table) EXPECT_EQ(records(clients), expected);
}

}  // namespace
