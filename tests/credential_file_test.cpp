// SPDX-License-Identifier: Apache-2.0
// The credential file: every set and remove byte for byte, what a set adds
// where, the updates it refuses, and damaged sections told and mended.
#include "credential_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "section_layout.h"
#include "store_support.h"
#include "test_support.h"

namespace {

using namespace std::string_literals;

// One credential edit that must succeed and leave `result`.
struct ConfCase {
  const char* what;
  std::string old;
  const char* queue;
  CredentialKind kind;
  const char* id;  // null: remove
  const char* password;
  std::string result;
};

class CredentialFile : public testing::Test {
 protected:
  // The text an edit leaves (password == nullptr: remove; no kind: root's
  // forget), from `old`.
  static std::string conf(std::string old, const char* queue, std::optional<CredentialKind> kind,
                          const char* id = nullptr, const char* password = nullptr) {
    EXPECT_TRUE(edit_credentials(&old, queue, kind, id, password)) << queue;
    return old;
  }

  static void expect_rewrites(const std::vector<ConfCase>& cases) {
    for (const ConfCase& c : cases) {
      std::string text = c.old;
      EXPECT_TRUE(edit_credentials(&text, c.queue, c.kind, c.id, c.password)) << c.what;
      EXPECT_EQ(text, c.result) << c.what;
    }
  }
};

// A file with two sections of two kinds: job accounting ID and PIN as typed,
// user authentication names and passwords (U, P) in Base64.
const std::string U = base64("alice"), P = base64("pw"), U2 = base64("bob"), P2 = base64("s3cret");
const std::string kTwoSections =
    "<lp1>\nid=1111\npassword=2222\n</lp1>\n<lp2>\nu_id=" + U + "\nu_password=" + P + "\n</lp2>\n";
const std::string kLines1To4 = "<lp1>\nid=1111\npassword=2222\n</lp1>\n";
const std::string kLines5To8 = "<lp2>\nu_id=" + U + "\nu_password=" + P + "\n</lp2>\n";

TEST_F(CredentialFile, SetAndRemoveAcrossSectionsOfTwoKinds) {
  const std::string set_2_lp1 = "<lp1>\nid=1111\npassword=2222\nu_id=" + U2 + "\nu_password=" + P2 +
                                "\n</lp1>\n" + kLines5To8;
  expect_rewrites({
      {"set 2 lp1", kTwoSections, "lp1", kUser, "bob", "s3cret", set_2_lp1},
      {"set 2 lp2", kTwoSections, "lp2", kUser, "bob", "s3cret",
       kLines1To4 + "<lp2>\nu_id=" + U2 + "\nu_password=" + P2 + "\n</lp2>\n"},
      {"set 1 lp2", kTwoSections, "lp2", kJob, "3333", "4444",
       kLines1To4 + "<lp2>\nu_id=" + U + "\nu_password=" + P +
           "\nid=3333\npassword=4444\n</lp2>\n"},
      {"set 3 lp3", kTwoSections, "lp3", kSecure, "bob", "s3cret",
       kTwoSections + "<lp3>\ns_id=" + U2 + "\ns_password=" + P2 + "\n</lp3>\n"},
      {"remove 1 lp1", kTwoSections, "lp1", kJob, nullptr, nullptr, kLines5To8},
      {"remove 2 lp2", kTwoSections, "lp2", kUser, nullptr, nullptr, kLines1To4},
      {"remove 3 lp1", kTwoSections, "lp1", kSecure, nullptr, nullptr, kTwoSections},
  });
  // After "set 2 lp1", removing job accounting keeps the tags.
  EXPECT_EQ(conf(set_2_lp1, "lp1", kJob),
            "<lp1>\nu_id=" + U2 + "\nu_password=" + P2 + "\n</lp1>\n" + kLines5To8);
}

TEST_F(CredentialFile, EdgeCases) {
  expect_rewrites({
      {"new section goes last", "x\n<lp2>\nid=1\n</lp2>\n", "lp1", kJob, "7", "8",
       "x\n<lp2>\nid=1\n</lp2>\n<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"remove: other-case sections too, tags by spelling",
       "<LP1>\nid=a\n</LP1>\n<Lp1>\nid=b\nu_id=c\n</Lp1>\n<lp10>\nid=d\n</lp10>\n", "lp1", kJob,
       nullptr, nullptr, "<Lp1>\nu_id=c\n</Lp1>\n<lp10>\nid=d\n</lp10>\n"},
      {"set: other-case sections stay", "<LP1>\nid=a\n</LP1>\n", "lp1", kJob, "7", "8",
       "<LP1>\nid=a\n</LP1>\n<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"a key twice: both rewritten", "<lp1>\nid=a\nid=b\n</lp1>\n", "lp1", kJob, "7", "8",
       "<lp1>\nid=7\nid=7\npassword=8\n</lp1>\n"},
      {"a key twice: both dropped", "<lp1>\nid=a\nid=b\nu_id=c\n</lp1>\n", "lp1", kJob, nullptr,
       nullptr, "<lp1>\nu_id=c\n</lp1>\n"},
      {"keys outside the section stay", "id=out\n<lp2>\nid=2\n</lp2>\n<lp1>\n</lp1>\n", "lp1", kJob,
       "7", "8", "id=out\n<lp2>\nid=2\n</lp2>\n<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"remove from a section with no closing tag", "<lp1>\nid=1\nx\n", "lp1", kJob, nullptr,
       nullptr, "x\n"},
      {"keys outside the section stay on remove", "id=out\n<lp2>\nid=2\n</lp2>\n", "lp1", kJob,
       nullptr, nullptr, "id=out\n<lp2>\nid=2\n</lp2>\n"},
      {"remove leaves a comment behind",
       "<lp0>\n</lp0>\n<lp1>\nid=1\n# note\npassword=2\n</lp1>\n<lp2>\n</lp2>\n", "lp1", kJob,
       nullptr, nullptr, "<lp0>\n</lp0>\n# note\n<lp2>\n</lp2>\n"},
      {"empty file, set", "", "lp1", kJob, "7", "8", "<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"empty file, remove", "", "lp1", kJob, nullptr, nullptr, ""},
      {"bare tags removed whole", "a\n<lp1>\n</lp1>\nb\n", "lp1", kSecure, nullptr, nullptr,
       "a\nb\n"},
      {"CR LF and lone CR become LF", "a\r\nb\rc\n", "lp1", kJob, nullptr, nullptr, "a\nb\nc\n"},
      {"LF LF merges, CR LF blank stays", "a\n\nb\r\n\r\nc\n", "lp1", kJob, nullptr, nullptr,
       "a\nb\n\nc\n"},
      {"three LF make one blank line", "a\n\n\nb\n", "lp1", kJob, nullptr, nullptr, "a\n\nb\n"},
      {"a name no section can have is still set by its tag lines", "<a>b>\nid=1\n</a>b>\n", "a>b",
       kJob, "7", "8", "<a>b>\nid=7\npassword=8\n</a>b>\n"},
      {"tag in other case is another queue", "<LP1>\nid=1\n</LP1>\n", "lp1", kJob, "7", "8",
       "<LP1>\nid=1\n</LP1>\n<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"CR LF ended tag is a tag", "<lp1>\r\nid=1\r\n</lp1>\r\n", "lp1", kJob, "7", "8",
       "<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"empty value", "", "lp1", kJob, "7", "", "<lp1>\nid=7\npassword=\n</lp1>\n"},
      {"a set keeps to its own lines after a section left open",
       "<lp2>\nid=1\n<lp1>\nid=3\n</lp1>\n", "lp1", kJob, "7", "8",
       "<lp2>\nid=1\n<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"last line without a break is kept", "<lp2>\n</lp2>\ntail", "lp1", kJob, nullptr, nullptr,
       "<lp2>\n</lp2>\ntail\n"},
      {"zero bytes after the last break add nothing", "a\n\0\0"s, "lp1", kJob, nullptr, nullptr,
       "a\n"},
      {"long line copied whole", std::string(1500, 'L') + "\n", "lp1", kJob, nullptr, nullptr,
       std::string(1500, 'L') + "\n"},
      {"a line added mid-file, the rest after it", "a\n<lp1>\nid=1\n</lp1>\nb\n", "lp1", kJob, "7",
       "8", "a\n<lp1>\nid=7\npassword=8\n</lp1>\nb\n"},
      {"remove: what lies between and after spans stays",
       "<lp1>\nid=1\n</lp1>\n<lp2>\nid=2\n</lp2>\n<LP1>\nid=3\n</LP1>\nb\n", "lp1", kJob, nullptr,
       nullptr, "<lp2>\nid=2\n</lp2>\nb\n"},
  });
}

// A damaged section: what is wrong, from which line, a set refused, and the
// removes that mend it take out its own lines only and leave the file whole.
// (The first seven files once took a set.)
TEST_F(CredentialFile, DamagedSectionsRefuseASetAndTheirRemovesMendThem) {
  const unsigned kJ = 2, kU = 4;  // the removes that mend: -x, -xu
  const struct Case {
    const char* what;
    std::string old;
    Damage damage;
    std::size_t line;
    unsigned mend;
    std::string mended;
  } cases[] = {
      {"a line that is no key", "<lp1>\npassword=old\nx\n</lp1>\n", Damage::kForeign, 3, kJ, "x\n"},
      {"a duplicate", "<lp1>\nid=a\n</lp1>\n<lp1>\nid=b\n</lp1>\n", Damage::kDuplicate, 4, kJ, ""},
      {"a stray closing tag first", "</lp1>\n<lp1>\nid=a\n</lp1>\n", Damage::kStrayClosing, 1, kU,
       "<lp1>\nid=a\n</lp1>\n"},
      {"a blank after the opening tag", "<lp1> \nid=1\n</lp1>\n",
       Damage::kLoneKey | Damage::kStrayClosing, 2, kJ, "<lp1> \n"},
      {"an empty section, then a duplicate", "<lp1>\n</lp1>\n<lp1>\nid=1\n</lp1>\n",
       Damage::kDuplicate, 3, kJ, ""},
      {"a closing tag alone", "x\n</lp1>\n", Damage::kStrayClosing, 2, kJ, "x\n"},
      {"another section inside", "<lp1>\n<lp2>\nid=1\n</lp2>\n</lp1>\n",
       Damage::kUnclosed | Damage::kStrayClosing, 1, kJ, "<lp2>\nid=1\n</lp2>\n"},
      {"left open before another section", "<lp1>\nid=1\npassword=2\n<lp2>\nid=3\n</lp2>\n",
       Damage::kUnclosed, 1, kJ, "<lp2>\nid=3\n</lp2>\n"},
      {"a lone key after it", "<lp1>\nid=1\npassword=2\n</lp1>\nu_id=x\n", Damage::kLoneKey, 5, kU,
       "<lp1>\nid=1\npassword=2\n</lp1>\n"},
      {"a line that is no key, two kinds", "<lp1>\nid=1\n# x\nu_id=a\n</lp1>\n<lp2>\n</lp2>\n",
       Damage::kForeign, 3, kJ | kU, "# x\n<lp2>\n</lp2>\n"},
  };
  for (const Case& c : cases) {
    std::string text = c.old;
    StoreStep step = StoreStep::kNone;
    EXPECT_FALSE(edit_credentials(&text, "lp1", kJob, "7", "8", &step)) << c.what;
    EXPECT_EQ(step, StoreStep::kDamagedSection) << c.what;
    StoreError error;
    EXPECT_FALSE(check_settable(AccountText::parse(c.old, FileKind::kCredentials), "lp1", error));
    EXPECT_EQ(error.damage.what, c.damage) << c.what;
    EXPECT_EQ(error.damage.line, c.line) << c.what;
    EXPECT_EQ(error.damage.mend, c.mend) << c.what;
    for (CredentialKind kind : kCredentialKinds) {
      if ((c.mend & (1u << static_cast<unsigned>(kind))) != 0) text = conf(text, "lp1", kind);
    }
    EXPECT_EQ(text, c.mended) << c.what;
    std::vector<SectionEntries> sections;
    ASSERT_TRUE(sections_of(AccountText::parse(text, FileKind::kCredentials), 9, &sections));
    for (const SectionEntries& s : sections) EXPECT_EQ(s.damage.what, Damage{}) << c.what;
  }
  // Root's forget keeps to the same lines.
  EXPECT_EQ(conf(cases[7].old, "lp1", kNoKind), cases[7].mended);
  // Keys after a section while another, opened before it, waits for its
  // closing tag are that one's, as a driver reads them: never removed with it.
  const std::string inside = "<lp2>\n<lp1>\nid=1\npassword=2\n</lp1>\nid=3\npassword=4\n</lp2>\n";
  EXPECT_EQ(conf(inside, "lp1", kJob), "<lp2>\nid=3\npassword=4\n</lp2>\n");
  EXPECT_EQ(conf(inside, "lp1", kNoKind), "<lp2>\nid=3\npassword=4\n</lp2>\n");
}

// What --list reads: per spelling, how much of each kind the sections hold
// among their own lines and what is wrong with them, in time linear in the
// file however many sections stay open.
TEST_F(CredentialFile, SectionsAreCreditedOnlyWithTheirOwnLines) {
  std::string open_tags;
  for (int i = 0; i < 20000; ++i) open_tags += "<q" + std::to_string(i) + ">\n";
  const AccountText many = AccountText::parse(open_tags + "id=1\n", FileKind::kCredentials);
  std::vector<SectionEntries> all;
  ASSERT_TRUE(sections_of(many, 20000, &all));
  ASSERT_EQ(all.size(), 20000u);
  EXPECT_EQ(all.back().of(kJob), Stored::kIncomplete);
  EXPECT_EQ(all.front().of(kJob), Stored::kNothing);
  EXPECT_EQ(all.front().damage.what, Damage::kUnclosed);
  const AccountText text =
      AccountText::parse("<a>\nid=1\n<b>\npassword=2\n</a>\n<a>\n</a>\n</b>\n<c/>\n</c>\nu_id=x\n",
                         FileKind::kCredentials);
  EXPECT_FALSE(sections_of(many, 19999, &all));  // one more than a listing reads
  EXPECT_TRUE(all.empty());
  std::vector<SectionEntries> sections;
  ASSERT_TRUE(sections_of(text, kMaxListedSections, &sections));
  ASSERT_EQ(sections.size(), 4u);
  EXPECT_EQ(sections[0].name, "a");                      // in the order they first appear
  EXPECT_EQ(sections[0].of(kJob), Stored::kIncomplete);  // the ID once, nothing once
  EXPECT_EQ(sections[0].damage.what,
            Damage::kUnclosed | Damage::kStrayClosing | Damage::kDuplicate);
  EXPECT_EQ(sections[1].name, "b");
  EXPECT_EQ(sections[1].of(kJob), Stored::kIncomplete);  // its PIN, not a's ID
  EXPECT_EQ(sections[1].damage.line, 3u);
  EXPECT_EQ(sections[2].name, "c/");  // not credited with the lone key after </c>
  EXPECT_EQ(sections[2].of(kUser), Stored::kNothing);
  EXPECT_EQ(sections[3].name, "c");
  // The key after </c> is the still open c/'s, as a driver reads it: c's
  // remove leaves it, and takes only the stray tag.
  EXPECT_EQ(sections[3].damage.what, Damage::kStrayClosing);
  EXPECT_EQ(sections[3].damage.mend, 2u);
  // Once every section a driver reads as open is closed again (few, or more
  // than are kept in a short list), a key after a section is a lone one.
  for (int n : {3, 40}) {
    std::string opened, closed;
    for (int i = 0; i < n; ++i) {
      opened += "<o" + std::to_string(i) + ">\n";
      closed = "</o" + std::to_string(i) + ">\n" + closed;
    }
    ASSERT_TRUE(sections_of(
        AccountText::parse(opened + closed + "<a>\n</a>\nid=1\n", FileKind::kCredentials),
        kMaxListedSections, &sections));
    EXPECT_EQ(sections.back().name, "a");
    EXPECT_EQ(sections.back().damage.what, Damage::kLoneKey) << n;
  }
}

}  // namespace
