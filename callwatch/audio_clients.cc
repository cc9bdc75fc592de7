#include "audio_clients.h"

#include <algorithm>
#include <map>

namespace {

struct Alias {
  std::optional<std::string> AudioClient::*property;
  const char* value;
  const char* bundleID;
};

constexpr Alias aliases[] = {
    {&AudioClient::binary, "zoom", "us.zoom.xos"},
    {&AudioClient::name, "ZOOM VoiceEngine", "us.zoom.xos"},
    {&AudioClient::flatpakId, "us.zoom.Zoom", "us.zoom.xos"},
    {&AudioClient::binary, "teams-for-linux", "com.microsoft.teams2"},
    {&AudioClient::flatpakId, "com.github.IsmaelMartinez.teams_for_linux", "com.microsoft.teams2"},
    {&AudioClient::binary, "teams", "com.microsoft.teams"},
};

std::vector<const AudioClient*> byIndex(const AudioClientsSnapshot& snapshot) {
  std::vector<const AudioClient*> clients;
  for (const AudioClient& client : snapshot.clients) {
    if (client.index != snapshot.ownClient) clients.push_back(&client);
  }
  std::stable_sort(clients.begin(), clients.end(),
                   [](const AudioClient* a, const AudioClient* b) { return a->index < b->index; });
  return clients;
}

struct Process {
  std::vector<const AudioClient*> clients;
  bool input = false;
  bool output = false;
};

std::optional<std::string> processBundleID(const Process& process) {
  for (const AudioClient* client : process.clients) {
    if (std::optional<std::string> alias = aliasedBundleID(*client)) return alias;
  }
  return bundleIDOf(*process.clients.front());
}

// Marks the owner of every uncorked stream as running in that direction.
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

std::optional<std::string> aliasedBundleID(const AudioClient& client) {
  for (const Alias& alias : aliases) {
    const std::optional<std::string>& value = client.*alias.property;
    if (value && *value == alias.value) return std::string(alias.bundleID);
  }
  return std::nullopt;
}

std::optional<std::string> bundleIDOf(const AudioClient& client) {
  if (std::optional<std::string> alias = aliasedBundleID(client)) return alias;
  if (client.flatpakId) return client.flatpakId;
  if (client.binary) return client.binary;
  return client.name;
}

std::vector<AudioClientProcess> clientProcesses(const AudioClientsSnapshot& snapshot) {
  std::vector<Process> processes;
  std::map<std::string, std::size_t> processOfId;
  std::map<std::uint32_t, std::size_t> processOfClient;
  for (const AudioClient* client : byIndex(snapshot)) {
    std::size_t position = processes.size();
    if (client->processId) {
      position = processOfId.try_emplace(*client->processId, position).first->second;
    }
    if (position == processes.size()) processes.emplace_back();
    processes[position].clients.push_back(client);
    processOfClient.try_emplace(client->index, position);
  }
  markRunning(snapshot.recording, processOfClient, processes, &Process::input);
  markRunning(snapshot.playback, processOfClient, processes, &Process::output);

  std::vector<AudioClientProcess> result;
  for (const Process& process : processes) {
    result.push_back({processBundleID(process), process.input, process.output});
  }
  return result;
}
