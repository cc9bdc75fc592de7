#include "audio_clients-linux.h"

#include <map>
#include <tuple>

namespace {

struct Recognised {
  std::optional<std::string> AudioClient::*property;
  const char* value;
  MeetingProvider provider;
};

constexpr Recognised applications[] = {
    {&AudioClient::binary, "zoom", MeetingProvider::zoom},
    {&AudioClient::name, "ZOOM VoiceEngine", MeetingProvider::zoom},
    {&AudioClient::appId, "us.zoom.Zoom", MeetingProvider::zoom},
    {&AudioClient::binary, "teams-for-linux", MeetingProvider::teams},
    {&AudioClient::appId, "com.github.IsmaelMartinez.teams_for_linux", MeetingProvider::teams},
    {&AudioClient::binary, "teams", MeetingProvider::teams},
};

std::optional<MeetingProvider> providerOf(const AudioClient& client) {
  for (const Recognised& application : applications) {
    if (client.*application.property == application.value) return application.provider;
  }
  return std::nullopt;
}

using ProcessKey = std::tuple<std::string, std::optional<std::string>, std::optional<std::string>,
                              std::optional<std::string>>;

ProcessKey processKey(const AudioClient& client) {
  std::string process =
      client.processId ? "pid " + *client.processId : "client " + std::to_string(client.index);
  return {process, client.binary, client.name, client.appId};
}

struct Process {
  std::optional<MeetingProvider> provider;
  bool input = false;
  bool output = false;
};

// Marks the owner of every uncorked stream as running in that direction;
// streams of clients not in the snapshot count for nobody.
void markRunning(const std::vector<AudioStream>& streams,
                 const std::map<std::uint32_t, std::size_t>& processOfClient,
                 std::vector<Process>& processes, bool Process::*direction) {
  for (const AudioStream& stream : streams) {
    auto owner = processOfClient.find(stream.client);
    if (owner != processOfClient.end() && !stream.corked)
      processes[owner->second].*direction = true;
  }
}

}  // namespace

std::vector<AudioProcessActivity> meetingProcesses(const AudioClientsSnapshot& snapshot) {
  std::vector<Process> processes;
  std::map<ProcessKey, std::size_t> processOfKey;
  std::map<std::uint32_t, std::size_t> processOfClient;
  for (const AudioClient& client : snapshot.clients) {
    auto [entry, added] = processOfKey.try_emplace(processKey(client), processes.size());
    if (added) processes.push_back({providerOf(client)});
    processOfClient.try_emplace(client.index, entry->second);
  }
  markRunning(snapshot.recording, processOfClient, processes, &Process::input);
  markRunning(snapshot.playback, processOfClient, processes, &Process::output);

  std::vector<AudioProcessActivity> records;
  for (const Process& process : processes) {
    if (process.provider) records.emplace_back(*process.provider, process.input, process.output);
  }
  return records;
}
