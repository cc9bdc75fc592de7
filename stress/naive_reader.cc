// A reader that speaks nookview's reader protocol but trusts the tree: it
// opens root path + "/" + request with a plain open(2) that follows links and
// checks nothing. It exists only so that the harness can show that its
// attacks win real races; it is never built into the product.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

bool read_exact(unsigned char* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t got = read(0, buffer + done, size - done);
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

bool read_frame(std::string* text) {
  unsigned char length[2];
  if (!read_exact(length, 2)) return false;
  size_t size = static_cast<size_t>(length[0]) << 8 | length[1];
  if (size == 0 || size > 1023) return false;
  text->resize(size);
  return read_exact(reinterpret_cast<unsigned char*>(text->data()), size);
}

bool reply(unsigned char status, const std::string& data) {
  std::string frame{static_cast<char>(status), static_cast<char>(data.size() >> 8),
                    static_cast<char>(data.size() & 0xFF)};
  frame += data;
  return write(1, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
}

unsigned char serve(const std::string& path, std::string* data) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return 1;
  struct stat status;
  unsigned char result = 1;
  if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
    if (status.st_size < 1 || status.st_size > 8000) {
      result = 2;
    } else {
      data->resize(static_cast<size_t>(status.st_size));
      result = read(fd, data->data(), data->size()) == status.st_size ? 0 : 1;
    }
  }
  close(fd);
  if (result != 0) data->clear();
  return result;
}

}  // namespace

int main() {
  std::string root;
  if (!read_frame(&root) || !reply(0, "")) return 1;
  std::string request;
  while (read_frame(&request)) {
    std::string data;
    unsigned char status = serve(root + "/" + request, &data);
    if (!reply(status, data)) return 0;
  }
  return 0;
}
