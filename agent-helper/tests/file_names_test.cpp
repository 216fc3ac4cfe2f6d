#include "file_names.h"

#include <gtest/gtest.h>

namespace qova::agent {
namespace {

TEST(SanitizeFileName, KeepsOnlyASafeVisibleBaseName) {
  const struct {
    const char* given;
    const char* stored;
  } cases[] = {
      {"report.pdf", "report.pdf"},
      {"../../etc/passwd", "passwd"},
      {"C:\\Users\\me\\photo 1.jpg", "photo 1.jpg"},
      {"dir/.bashrc", "bashrc"},
      {"..hidden..txt", "hidden..txt"},
      {"a\nb\tc\177d.txt", "abcd.txt"},
      {"  spaced  ", "spaced"},
      {"报告 2024.docx", "报告 2024.docx"},
      {"bad\xFF\xFEname", "bad__name"},
      {"over\xC0\xAFlong", "over__long"},                                  // overlong "/"
      {"line\xE2\x80\xA8sep", "line___sep"},                               // U+2028
      {"c1\xC2\x85x", "c1__x"},                                            // U+0085
      {"invoice\xE2\x80\xAEtxt.exe", "invoicetxt.exe"},                    // U+202E shows it as "invoiceexe.txt"
      {"\xEF\xBB\xBFzero\xE2\x80\x8Bwidth\xC2\xAD.txt", "zerowidth.txt"},  // U+FEFF, U+200B, U+00AD
      {"tag\xF3\xA0\x80\x81.txt", "tag.txt"},                              // U+E0001
  };
  for (const auto& c : cases) EXPECT_EQ(sanitizeFileName(c.given), c.stored) << '"' << c.given << '"';
  for (const char* name : {"", ".", "..", "/", "dir/..", " . ", "\x01\x02", "\xE2\x80\xAE"}) {
    EXPECT_EQ(sanitizeFileName(name), "file") << '"' << name << '"';  // nothing left: a plain name
  }
}

TEST(SanitizeFileName, LongNamesAreCutKeepingTheExtensionAndWholeCharacters) {
  const auto cut = sanitizeFileName(std::string(300, 'x') + ".tar.gz");
  EXPECT_LE(cut.size(), kMaxStoredNameBytes);
  EXPECT_TRUE(cut.ends_with(".gz"));
  std::string wide;
  for (int i = 0; i < 100; ++i) wide += "文";  // three bytes each
  const auto cutWide = sanitizeFileName(wide + ".txt");
  EXPECT_LE(cutWide.size(), kMaxStoredNameBytes);
  EXPECT_TRUE(cutWide.ends_with("文.txt"));
  EXPECT_EQ((cutWide.size() - 4) % 3, 0u);
}

TEST(NumberedFileName, PutsTheNumberBeforeTheExtension) {
  EXPECT_EQ(numberedFileName("report.pdf", 0), "report.pdf");
  EXPECT_EQ(numberedFileName("report.pdf", 2), "report (2).pdf");
  EXPECT_EQ(numberedFileName("archive.tar.gz", 1), "archive.tar (1).gz");
  EXPECT_EQ(numberedFileName("README", 3), "README (3)");
}

TEST(PercentDecode, DecodesEscapesAndRefusesBrokenOnes) {
  EXPECT_EQ(percentDecode("a%20b%2F..%E6%96%87"), "a b/..文");
  EXPECT_EQ(percentDecode(""), "");
  for (const char* broken : {"bad%2", "bad%", "bad%zz"}) EXPECT_FALSE(percentDecode(broken)) << broken;
}

}  // namespace
}  // namespace qova::agent
