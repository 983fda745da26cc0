// SPDX-License-Identifier: Apache-2.0
// The floor of a whole `-p` run (bench/update): only what such an update must
// do. Ask the scheduler once whether the queue exists (one request through
// libcups, in this process), read the two values from standard input, read
// the file, write the new one with that queue's section holding the values,
// fsync it, rename it over the old one, fsync the directory. No checks of
// trust, no locale, no worker thread, no deadline, no wiping.
//
//   printf '%s\n' ID PASSWORD | update_floor QUEUE FILE
//
// Exit status 0 when the file was replaced, 1 otherwise.
#include <cups/cups.h>
#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>

namespace {

bool write_all(int fd, std::string_view bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// One line of standard input, without its newline.
bool read_value(std::string* value) {
  char line[256];
  if (std::fgets(line, sizeof line, stdin) == nullptr) return false;
  *value = line;
  if (!value->empty() && value->back() == '\n') value->pop_back();
  return true;
}

// The file's text with the id= and password= lines of QUEUE's section set.
std::string edited(std::string_view text, std::string_view queue, const std::string& id,
                   const std::string& password) {
  const std::string open = "<" + std::string(queue) + ">", close = "</" + std::string(queue) + ">";
  std::string out;
  out.reserve(text.size() + id.size() + password.size());
  bool inside = false;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
    const std::string_view line = text.substr(0, end == std::string_view::npos ? text.size() : end);
    if (line == open) inside = true;
    if (line == close) inside = false;
    if (inside && line.starts_with("id=")) {
      out += "id=" + id + "\n";
    } else if (inside && line.starts_with("password=")) {
      out += "password=" + password + "\n";
    } else {
      out.append(text.substr(0, next));
    }
    text.remove_prefix(next);
  }
  return out;
}

bool queue_exists(const char* queue) {
  cups_dest_t* dest = cupsGetNamedDest(CUPS_HTTP_DEFAULT, queue, nullptr);
  cupsFreeDests(dest != nullptr ? 1 : 0, dest);
  return dest != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 1;
  const bool known = queue_exists(argv[1]);
  std::string id, password;
  if (!known || !read_value(&id) || !read_value(&password)) return 1;

  const std::string path = argv[2], fresh = path + ".new";
  std::string folder = path;
  const int in = open(path.c_str(), O_RDONLY);
  struct stat st {};
  if (in < 0 || fstat(in, &st) != 0) return 1;
  std::string text(static_cast<std::size_t>(st.st_size), '\0');
  const bool read_all = read(in, text.data(), text.size()) == st.st_size;
  close(in);
  const int out = open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  const bool written = out >= 0 && read_all &&
                       write_all(out, edited(text, argv[1], id, password)) && fsync(out) == 0;
  if (out >= 0) close(out);
  const int dir = open(dirname(folder.data()), O_RDONLY | O_DIRECTORY);
  const bool done =
      written && rename(fresh.c_str(), path.c_str()) == 0 && dir >= 0 && fsync(dir) == 0;
  if (dir >= 0) close(dir);
  return done ? 0 : 1;
}
