#include "file_names.h"

#include <gtest/gtest.h>

namespace qova::agent {
namespace {

TEST(SanitizeFileName, KeepsOnlyASafeBaseName) {
  EXPECT_EQ(sanitizeFileName("report.pdf"), "report.pdf");
  EXPECT_EQ(sanitizeFileName("../../etc/passwd"), "passwd");
  EXPECT_EQ(sanitizeFileName("C:\\Users\\me\\photo 1.jpg"), "photo 1.jpg");
  EXPECT_EQ(sanitizeFileName("dir/.bashrc"), "bashrc");
  EXPECT_EQ(sanitizeFileName("..hidden..txt"), "hidden..txt");
  EXPECT_EQ(sanitizeFileName("a\nb\tc\x7f" "d.txt"), "abcd.txt");
  EXPECT_EQ(sanitizeFileName("  spaced  "), "spaced");
  EXPECT_EQ(sanitizeFileName("报告 2024.docx"), "报告 2024.docx");
}

TEST(SanitizeFileName, NamesThatReduceToNothingBecomeAPlainName) {
  for (const char* name : {"", ".", "..", "...", "/", "a/", "dir/..", " . ", "\x01\x02"}) {
    EXPECT_EQ(sanitizeFileName(name), "file") << '"' << name << '"';
  }
}

TEST(SanitizeFileName, BrokenUtf8AndInvisibleSeparatorsAreReplaced) {
  EXPECT_EQ(sanitizeFileName("bad\xFF\xFEname"), "bad__name");
  EXPECT_EQ(sanitizeFileName("over\xC0\xAFlong"), "over__long");      // overlong "/"
  EXPECT_EQ(sanitizeFileName("line\xE2\x80\xA8sep"), "line___sep");   // U+2028
  EXPECT_EQ(sanitizeFileName("c1\xC2\x85x"), "c1__x");                // U+0085
}

TEST(SanitizeFileName, LongNamesAreCutKeepingTheExtensionAndWholeCharacters) {
  const std::string stem(300, 'x');
  const auto cut = sanitizeFileName(stem + ".tar.gz");
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
  EXPECT_EQ(percentDecode("plain"), "plain");
  EXPECT_EQ(percentDecode(""), "");
  EXPECT_FALSE(percentDecode("bad%2"));
  EXPECT_FALSE(percentDecode("bad%"));
  EXPECT_FALSE(percentDecode("bad%zz"));
}

}  // namespace
}  // namespace qova::agent
