// SPDX-License-Identifier: Apache-2.0
// Each test's own directory, named after the running test (test_support.h).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "test_support.h"

std::string test_dir() {
  // Short, for the sockets below it: the test's name, cut, and a hash of it.
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  std::string name = test == nullptr ? std::string("shared")
                                     : std::string(test->test_suite_name()) + "." + test->name();
  // The same tests run again without unnamed files, beside the first run.
  if (const char* again = std::getenv("VELMORA_TEST_NO_TMPFILE")) name = again + name;
  std::uint32_t hash = 2166136261u;
  for (char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  name.resize(std::min<std::size_t>(name.size(), 24));
  std::replace(name.begin(), name.end(), '/', '_');
  char tag[16];
  std::snprintf(tag, sizeof tag, "-%08x", hash);
  const std::string dir = std::string(TEST_ROOT) + "/t/" + name + tag;
  mkdir(dir.c_str(), 0755);
  return dir;
}

std::string test_home() {
  const std::string home = test_dir() + "/home";
  mkdir(home.c_str(), 0777);
  chmod(home.c_str(), 0777);  // the ordinary user's runs write here too
  return home;
}

void reset_account_dir() {
  const std::string dir = test_dir() + "/account";
  setenv("VELMORA_TEST_ACCOUNT_DIR", dir.c_str(), 1);
  mkdir(dir.c_str(), 0755);
  for (const std::string& name : account_dir_entries()) {
    std::string path = account_path(name);
    if (unlink(path.c_str()) != 0) rmdir(path.c_str());
  }
  chmod(dir.c_str(), 0755);
  if (chown(dir.c_str(), getuid(), getgid()) != 0) {
    throw std::runtime_error("cannot take back " + dir);
  }
}
