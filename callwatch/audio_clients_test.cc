#include "audio_clients.h"

#include <gtest/gtest.h>

#include "meeting_provider.h"

namespace {

using Text = std::optional<std::string>;

AudioClient client(std::uint32_t index, Text processId, Text binary = {}, Text name = {},
                   Text flatpakId = {}) {
  return {index, processId, binary, name, flatpakId};
}

struct IdentityCase {
  AudioClient client;
  Text bundleID;
  std::optional<MeetingProvider> provider;
};

TEST(AudioClients, BundleIdentifierFromTheAliasTableOrTheClientsOwnIdentity) {
  const auto zoom = MeetingProvider::zoom;
  const auto teams = MeetingProvider::teams;
  const IdentityCase cases[] = {
      {client(1, {}, "zoom"), "us.zoom.xos", zoom},
      {client(1, {}, {}, "ZOOM VoiceEngine"), "us.zoom.xos", zoom},
      {client(1, {}, "bwrap", {}, "us.zoom.Zoom"), "us.zoom.xos", zoom},
      {client(1, {}, "teams-for-linux"), "com.microsoft.teams2", teams},
      {client(1, {}, {}, {}, "com.github.IsmaelMartinez.teams_for_linux"), "com.microsoft.teams2",
       teams},
      {client(1, {}, "teams", "Microsoft Teams"), "com.microsoft.teams", teams},
      // An alias anywhere beats the client's own identifiers.
      {client(1, {}, "zoom", {}, "org.example.Wrapper"), "us.zoom.xos", zoom},
      // Aliases match exactly: letter case and extra text make no alias.
      {client(1, {}, "Zoom"), "Zoom", {}},
      {client(1, {}, "zoom.real"), "zoom.real", {}},
      {client(1, {}, {}, "zoom voiceengine"), "zoom voiceengine", {}},
      {client(1, {}, "teams2"), "teams2", {}},
      // Others report their own identity, which no provider claims.
      {client(1, {}, "firefox", "Firefox", "org.mozilla.firefox"), "org.mozilla.firefox", {}},
      {client(1, {}, "pacat", "pacat"), "pacat", {}},
      {client(1, {}, {}, "Music"), "Music", {}},
      {client(1, "42"), std::nullopt, {}},
  };
  for (const IdentityCase& c : cases) {
    Text bundleID = bundleIDOf(c.client);
    EXPECT_EQ(bundleID, c.bundleID) << c.bundleID.value_or("(none)");
    std::optional<MeetingProvider> provider =
        bundleID ? meetingProviderFromBundleID(*bundleID) : std::nullopt;
    EXPECT_EQ(provider, c.provider) << c.bundleID.value_or("(none)");
  }
}

// "bundle input output" per process, e.g. "us.zoom.xos 1 0", "-" for none.
std::string describe(const std::vector<AudioClientProcess>& processes) {
  std::string text;
  for (const AudioClientProcess& process : processes) {
    if (!text.empty()) text += ", ";
    text += process.bundleID.value_or("-") + (process.input ? " 1" : " 0") +
            (process.output ? " 1" : " 0");
  }
  return text;
}

struct ProcessCase {
  const char* name;
  AudioClientsSnapshot snapshot;
  std::string processes;
};

TEST(AudioClients, ClientsGroupIntoProcessesWithTheirStreams) {
  const ProcessCase cases[] = {
      {"one process, input and output from different clients",
       {0, {client(5, "100", "zoom"), client(6, "100", "zoom")}, {{6, false}}, {{5, false}}},
       "us.zoom.xos 1 1"},
      {"clients without a process id are processes of their own",
       {0, {client(5, {}, "zoom"), client(6, {}, "zoom")}, {{6, false}}, {{5, false}}},
       "us.zoom.xos 1 0, us.zoom.xos 0 1"},
      {"the watcher's own client is never reported",
       {7, {client(5, "1", "teams"), client(7, "2", "zoom")}, {{7, false}}, {{7, false}}},
       "com.microsoft.teams 0 0"},
      {"corked streams do not run",
       {0, {client(5, "1", "zoom")}, {{5, true}}, {{5, true}}},
       "us.zoom.xos 0 0"},
      {"one uncorked stream among corked ones runs",
       {0, {client(5, "1", "zoom")}, {{5, true}, {5, false}}, {{5, true}, {5, false}}},
       "us.zoom.xos 1 1"},
      {"streams of unknown clients count for nobody",
       {0, {client(5, "1", "zoom")}, {{9, false}}, {{9, false}}},
       "us.zoom.xos 0 0"},
      {"ordered by each process's lowest client index",
       {0,
        {client(9, "300", "firefox"), client(3, "200", "teams-for-linux"),
         client(4, "300", "firefox"), client(8, "100", "zoom")},
        {{9, false}},
        {{3, false}}},
       "com.microsoft.teams2 1 0, firefox 0 1, us.zoom.xos 0 0"},
      {"an alias on any client names the process",
       {0, {client(2, "100", "ZoomLauncher"), client(3, "100", {}, "ZOOM VoiceEngine")}, {}, {}},
       "us.zoom.xos 0 0"},
      {"without an alias the first client names the process",
       {0, {client(3, "100", "b"), client(2, "100", "a")}, {}, {}},
       "a 0 0"},
      {"a client without identity gives a process without one",
       {0, {client(2, "100")}, {{2, false}}, {}},
       "- 0 1"},
      {"no clients, no processes", {0, {}, {{2, false}}, {{2, false}}}, ""},
  };
  for (const ProcessCase& c : cases) {
    EXPECT_EQ(describe(clientProcesses(c.snapshot)), c.processes) << c.name;
  }
}

}  // namespace
