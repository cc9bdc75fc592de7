// nookview: a confined reader of small files for its parent process, and the
// publisher of reviewed directories. It writes no text on any stream; the
// parent learns everything from reply frames and the exit status.
//
//   nookview                     reader mode, frames on descriptors 0 and 1
//   nookview --publish-review NAME ENTRY-DEV ENTRY-INO DEST-DEV DEST-INO
//                                publish mode, directories on descriptors 3, 4
// Any other command line exits with status 1 before reading or opening
// anything.
#include <string.h>

#include "publish.h"
#include "reader.h"

int main(int argc, char** argv) {
  if (argc == 1) return nookview::run_reader();
  if (argc == 7 && strcmp(argv[1], "--publish-review") == 0) {
    return nookview::publish_review(
        nookview::PublishRequest{argv[2], argv[3], argv[4], argv[5], argv[6]});
  }
  return 1;
}
