// SPDX-License-Identifier: Apache-2.0
// Feeds arbitrary old files, queue names and values through both updates
// in a scratch account directory, and checks what must hold for any input:
// nothing crashes, no replacement file is left, a refused update changes
// nothing, and every line that is not the queue's survives in order.
//
// Input: byte 0 picks the update and kind, byte 1 flags (bit 0: no old
// file), then queue, id and password each as a length byte and bytes, then
// the old file.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "account_directory.h"
#include "account_format.h"
#include "account_text.h"
#include "store_support.h"
#include "test_support.h"

// Durability is not what this target checks: without this every input
// would cost two real flushes.
extern "C" int fsync(int) { return 0; }

namespace {

struct Reader {
  const uint8_t* data;
  size_t size;
  uint8_t byte() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
  std::string text(size_t limit) {
    size_t n = std::min<size_t>(byte() % (limit + 1), size);
    std::string s(reinterpret_cast<const char*>(data), n);
    data += n;
    size -= n;
    return s.substr(0, s.find('\0'));  // C strings
  }
};

std::vector<std::string> lines_of(const std::string& path) {
  std::vector<std::string> lines;
  const std::optional<std::string> bytes = read_file(path);
  if (!bytes) return lines;
  const AccountText text = AccountText::parse(*bytes, FileKind::kCredentials);
  for (const AccountLine& line : text.lines()) lines.emplace_back(text.text(line));
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  mkdir(std::string(account_directory()).c_str(), 0700);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in{data, size};
  uint8_t op = in.byte();
  bool no_old_file = (in.byte() & 1) != 0;
  std::string queue = in.text(24);
  std::string id = in.text(40);
  std::string password = in.text(40);
  std::string old(reinterpret_cast<const char*>(in.data), in.size);

  const bool status = op % 3 == 2;
  const bool remove = op % 3 == 1;
  const int kind = status ? (op / 3) % 4 : (op / 3) % 3 + 1;
  const std::string file = account_path(status ? "status" : "fuzz.conf");
  unlink(file.c_str());
  // The modes the store trusts: a private credential file, a public status file.
  if (!no_old_file) write_file(file, old, status ? 0644 : 0600);
  std::vector<std::string> before = lines_of(file);

  const auto credential = static_cast<CredentialKind>(kind);  // the fuzzer's byte picks one
  // Of a status: 1 and 2 switch a function on, 0 and 3 (secured print) off.
  const StatusFunction function = kind == 1   ? StatusFunction::kJobAccounting
                                  : kind == 2 ? StatusFunction::kUserAuthentication
                                              : StatusFunction::kOff;
  if (!status) {  // in memory alone, which checks the model's count of its size
    std::string edited = old;
    edit_credentials(&edited, queue.c_str(), credential, id.c_str(),
                     remove ? nullptr : password.c_str());
  }
  const StoreRun run = status ? store_status(queue.c_str(), function)
                              : store_credentials("fuzz", queue.c_str(), credential, id.c_str(),
                                                  remove ? nullptr : password.c_str());
  if (access((file + ".new").c_str(), F_OK) == 0) abort();  // replacement file left behind
  std::optional<std::string> after = read_file(file);
  // Left as it was: not done, or nothing to change (the bytes it would have
  // written are the old ones, or a remove found no file).
  if (run.done && !run.written && after != (no_old_file ? std::nullopt : std::optional(old))) {
    abort();
  }
  if (!run.done || (!run.written && no_old_file)) {
    // Not done: the old file, byte for byte, or still no file.
    if (no_old_file ? after.has_value() : after != old) abort();
    return 0;
  }

  // Lines that are not the queue's (its tags, its key lines of this kind,
  // its status lines) and not blank must come out unchanged and in order.
  static const char* kPrefixes[][2] = {
      {"id=", "password="}, {"u_id=", "u_password="}, {"s_id=", "s_password="}};
  auto others = [&](const std::vector<std::string>& lines) {
    std::vector<std::string> kept;
    for (const std::string& line : lines) {
      if (line.empty() || line == "<" + queue + ">" || line == "</" + queue + ">") continue;
      // A remove also clears the queue's sections in other case.
      if (remove && !status &&
          (same_but_case(line, "<" + queue + ">") || same_but_case(line, "</" + queue + ">"))) {
        continue;
      }
      if (status) {
        bool own = false;
        for (const char* value : {"ON", "U_ON", "OFF"}) {
          own = own || line == "<" + queue + ">" + value + "</" + queue + ">";
        }
        if (own) continue;
      } else if (line.starts_with(kPrefixes[kind - 1][0]) ||
                 line.starts_with(kPrefixes[kind - 1][1])) {
        continue;
      }
      kept.push_back(line);
    }
    return kept;
  };
  std::vector<std::string> now = lines_of(file);
  if (others(before) != others(now)) abort();
  if (!status && !remove) {
    // A set leaves both key lines of the kind, with the new values.
    const std::string stored_id = kind == 1 ? id : base64(id);
    const std::string stored_password = kind == 1 ? password : base64(password);
    if (std::ranges::count(now, kPrefixes[kind - 1][0] + stored_id) == 0 ||
        std::ranges::count(now, kPrefixes[kind - 1][1] + stored_password) == 0) {
      abort();
    }
  }
  if (status) {
    const char* value = kind == 1 ? "ON" : kind == 2 ? "U_ON" : "OFF";
    if (std::ranges::count(now, "<" + queue + ">" + value + "</" + queue + ">") == 0) abort();
  }
  return 0;
}
