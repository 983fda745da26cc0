// SPDX-License-Identifier: Apache-2.0
// What an update of a credential file costs in the store, against the least
// any durable rewrite costs: read the file, write it whole under a new name,
// fsync it, rename it over the old one, fsync the directory. Both in this
// process, in RUNS alternating blocks of five each, on the same file system;
// medians of every run of each.
// With --floor, only that floor, once for each of FILES small files: what
// rewriting that many files costs at the least.
//
//   store_bench LINES RUNS
//   store_bench --floor FILES
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "account_store.h"
#include "credential_file.h"

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

bool write_all(int fd, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The floor: one read, one write, one fsync, the rename, the directory's fsync.
bool floor_rewrite(int dir, const std::string& name) {
  const int in = openat(dir, name.c_str(), O_RDONLY);
  struct stat st {};
  if (in < 0 || fstat(in, &st) != 0) return false;
  std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
  const bool read_all = read(in, bytes.data(), bytes.size()) == st.st_size;
  close(in);
  const std::string fresh = name + ".new";
  const int out = openat(dir, fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  const bool ok = out >= 0 && read_all && write_all(out, bytes) && fsync(out) == 0;
  if (out >= 0) close(out);
  return ok && renameat(dir, fresh.c_str(), dir, name.c_str()) == 0 && fsync(dir) == 0;
}

}  // namespace

// Rewrites `files` small files once each; prints the seconds it took.
int floor_only(int files) {
  const int dir = open(std::string(account_directory()).c_str(), O_RDONLY | O_DIRECTORY);
  const std::string text = "<lp1>\nid=1234567\npassword=0042\n</lp1>\n";
  for (int i = 0; i < files; ++i) {
    const std::string name = "floor" + std::to_string(i) + ".conf";
    const int fd = openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || !write_all(fd, text) || close(fd) != 0) return 1;
  }
  const auto start = Clock::now();
  for (int i = 0; i < files; ++i) {
    if (!floor_rewrite(dir, "floor" + std::to_string(i) + ".conf")) return 1;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (int i = 0; i < files; ++i) unlinkat(dir, ("floor" + std::to_string(i) + ".conf").c_str(), 0);
  close(dir);
  std::printf("%.3f\n", seconds);
  return 0;
}

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "--floor") return floor_only(std::atoi(argv[2]));
  const int lines = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 21;
  Caller caller;
  caller.uid = getuid();
  caller.owner = getuid();
  caller.user = "bench";
  StoreResult<AccountStore> store = AccountStore::open(caller);
  StoreResult<AccountFile> own = store ? store->own_file() : StoreResult<AccountFile>(StoreError{});
  if (!own) {
    std::fprintf(stderr, "store_bench: cannot open the account directory %s\n",
                 std::string(account_directory()).c_str());
    return 1;
  }
  const AccountFile& file = *own;
  StoreError error;
  std::string text;
  for (int i = 0; i < lines / 4; ++i) {
    const std::string q = "queue" + std::to_string(i);
    text += "<" + q + ">\nid=" + std::to_string(1000000 + i) + "\npassword=4242\n</" + q + ">\n";
  }
  const std::string path = file.path();
  {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || !write_all(fd, text) || close(fd) != 0) return 1;
  }
  const int dir = open(std::string(account_directory()).c_str(), O_RDONLY | O_DIRECTORY);
  std::vector<double> store_ms, floor_ms;
  // In alternating blocks of five of each, so that each runs on memory it
  // left itself (the other's frees shrink the heap, and growing it again
  // costs fresh pages); a block's first run is the one that pays for that.
  constexpr int kBlock = 5;
  for (int run = 0; run < runs; ++run) {
    for (int i = 0; i < kBlock; ++i) {
      // Each update changes one ID, so that each one rewrites the file.
      CredentialChange change;
      const std::string id = std::to_string((run * kBlock + i) % 2);
      if (!make_change("queue7", CredentialKind::kJobAccounting, CredentialEdit::kSet, id.c_str(),
                       "4242", &change, error)) {
        return 1;
      }
      const auto start = Clock::now();
      StoreResult<AccountUpdate> update = store->begin(file, UpdateWhen::kBytesDiffer);
      const bool made = update && update->apply({std::move(change)});
      const StoreResult<Committed> done =
          made ? update->commit(Commit::kWrite) : StoreResult<Committed>(StoreError{});
      if (!done || !done->written) {
        std::fprintf(stderr, "store_bench: the update failed\n");
        return 1;
      }
      store_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    for (int i = 0; i < kBlock; ++i) {
      const auto start = Clock::now();
      if (!floor_rewrite(dir, file.name)) return 1;
      floor_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
  }
  close(dir);
  unlink(path.c_str());
  const double s = median(store_ms), f = median(floor_ms);
  std::printf("%-8d %12.3f %12.3f %8.2f\n", lines, s, f, s / f);
  return 0;
}
