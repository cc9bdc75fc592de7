// The fuzz targets run reader mode many times inside one process, which
// must stay free to write its corpus and crash files: the self-restriction
// (irreversible, and limited to a few layers per process) is left out here.
// The real one is checked by the unit tests and the end-to-end suite.
#include "platform.h"

namespace nookview {

bool restrict_to_root(int) {
  return true;
}

bool restrict_to_publish(int, int) {
  return true;
}

}  // namespace nookview
