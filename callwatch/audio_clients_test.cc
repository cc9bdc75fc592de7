#include "audio_clients-linux.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

// Clients separated by ",", each "process id/binary/application name/Flatpak
// id/streams", "-" for a property the client lacks; streams are r
// (recording) and p (playback), upper case when corked. Returns the records
// as "zoom:i- teams:io": provider, input and output ('-' when not running).
std::string records(const std::string& clients) {
  AudioClientsSnapshot snapshot;
  std::istringstream list(clients);
  for (std::string client; std::getline(list, client, ',');) {
    std::istringstream fields(client);
    std::optional<std::string> values[5];
    for (std::string field; auto& value : values) {
      if (std::getline(fields, field, '/') && field != "-") value = field;
    }
    auto index = static_cast<std::uint32_t>(snapshot.clients.size());
    snapshot.clients.push_back({index, values[0], values[1], values[2], values[3]});
    for (char s : values[4].value_or("")) {
      (tolower(s) == 'r' ? snapshot.recording : snapshot.playback).push_back({index, s < 'a'});
    }
  }
  std::string seen;
  for (const AudioProcessActivity& r : meetingProcesses(snapshot)) {
    seen += std::string(seen.empty() ? "" : " ") + std::string(rawValue(r.provider())) + ":" +
            (*r.input() ? "i" : "-") + (*r.output() ? "o" : "-");
  }
  return seen;
}

// Each row: clients, "=", the records they give.
TEST(MeetingProcesses, RecognisesApplicationsAndKeepsSandboxesApart) {
  // clang-format off
  const char* table[] = {
      // Applications by their exact Linux names.
      "7/zoom/-/-/rp=zoom:io", "7/pacat/ZOOM VoiceEngine/-/rp=zoom:io",
      "7/zoom.real/-/us.zoom.Zoom/rp=zoom:io", "7/teams-for-linux/-/-/rp=teams:io",
      "7/electron/-/com.github.IsmaelMartinez.teams_for_linux/rp=teams:io",
      "7/teams/Microsoft Teams/-/rp=teams:io", "7/Zoom/Zoom Meeting/us.zoom.Zoom.Beta/rp=",
      "7/zoomed/zoom/zoom/rp=", "7/teamspeak3/teams/-/rp=", "-/-/-/-/rp=",
      // One process with two clients; two sandboxes that both have process 1
      // stay two processes, told apart by anything they are recognised by;
      // without a process id each client is a process.
      "7/zoom/-/-/r,7/zoom/-/-/p=zoom:io", "1/zoom/-/-/r,1/pacat/-/-/p=zoom:i-",
      "1/pacat/ZOOM VoiceEngine/-/r,1/pacat/pacat/-/p=zoom:i-",
      "1/zoom/-/us.zoom.Zoom/r,1/zoom/-/-/p=zoom:i- zoom:-o",
      "-/zoom/-/-/r,-/zoom/-/-/p=zoom:i- zoom:-o",
      // Corked streams are not running; records follow the server's order.
      "8/teams/-/-/Rp,7/zoom/-/-/rPp=teams:-o zoom:io"};
  // clang-format on
  for (std::string row : table) {
    std::size_t equals = row.find('=');
    EXPECT_EQ(records(row.substr(0, equals)), row.substr(equals + 1)) << row;
  }
}

}  // namespace
