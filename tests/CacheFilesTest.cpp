// The cache file helpers in-process: Base64 decoding, key scrambling, and the reader,
// writer and existence checks on a temporary install folder.
#include <csignal>
#include <fstream>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <boost/archive/iterators/base64_from_binary.hpp>
#include <boost/archive/iterators/transform_width.hpp>
#include <boost/filesystem.hpp>

#include "service/CvService.h"
#include "store/CvCacheFolder.h"
#include "store/CvDatabase.h"
#include "store/CvFileWriter.h"
#include "store/CvSecurityKeyFile.h"

namespace fs = boost::filesystem;

namespace {

std::string allByteValues() {
  std::string bytes;
  for (int round = 0; round < 3; ++round) {
    for (int value = 0; value < 256; ++value) bytes.push_back(static_cast<char>(value));
  }
  return bytes;
}

// Boost's encoder as the reference, padded to whole groups.
std::string toBase64(const std::string& bytes) {
  using namespace boost::archive::iterators;
  using Encoder = base64_from_binary<transform_width<std::string::const_iterator, 6, 8>>;
  std::string text(Encoder(bytes.begin()), Encoder(bytes.end()));
  text.append((3 - bytes.size() % 3) % 3, '=');
  return text;
}

TEST(DecodeBase64, PartialGroupsAndEveryByteValue) {
  EXPECT_EQ(decodeBase64("QQ=="), "A");
  EXPECT_EQ(decodeBase64("QUI"), "AB");
  EXPECT_EQ(decodeBase64("QUJD"), "ABC");
  EXPECT_EQ(decodeBase64("QUJDQ"), "ABC");  // a single leftover character gives nothing
  EXPECT_EQ(decodeBase64(""), "");
  EXPECT_EQ(decodeBase64("+/+/"), "\xfb\xff\xbf");

  std::string bytes = allByteValues();
  for (std::string::size_type length : {bytes.size(), bytes.size() - 1, bytes.size() - 2}) {
    std::string part = bytes.substr(0, length);
    EXPECT_EQ(decodeBase64(toBase64(part)), part) << "length " << length;
  }
}

TEST(DecodeBase64, WholeTextTellsAStopInsideFromTheEnd) {
  for (const char* whole : {"", "QQ==", "QUI=", "QUI", "QUJD", "QUJDQQ"}) {
    EXPECT_TRUE(isWholeBase64(whole)) << whole;
  }
  for (const char* cut : {"QUJDQ", "QUJD=QUJD", "QUJD\r\nQUJD", "QUJD ", "QUJ-", "QQ===", "=", "QUJD===="}) {
    EXPECT_FALSE(isWholeBase64(cut)) << cut;
  }
}

TEST(DecodeBase64, StopsAtPaddingOrAnyCharacterOutsideTheAlphabet) {
  EXPECT_EQ(decodeBase64("QUJD=QUJD"), "ABC");
  EXPECT_EQ(decodeBase64("QUJD\r\nQUJD"), "ABC");
  EXPECT_EQ(decodeBase64("QUJD QUJD"), "ABC");
  EXPECT_EQ(decodeBase64("QUJ-QUJD"), "AB");  // the URL-safe alphabet is not accepted
  EXPECT_EQ(decodeBase64(std::string("QUJD\0QUJD", 9)), "ABC");

  // A line break after 76 characters, as mail encoders wrap: only the first line.
  std::string bytes = allByteValues().substr(0, 114);
  std::string text = toBase64(bytes);
  std::string wrapped = text.substr(0, 76) + "\n" + text.substr(76);
  EXPECT_EQ(decodeBase64(wrapped), bytes.substr(0, 57));
}

TEST(ScrambleKey, ItsOwnInverseWithAThreeBytePeriod) {
  std::string bytes = allByteValues();
  std::string scrambled = scrambleKey(bytes);
  ASSERT_EQ(scrambled.size(), bytes.size());
  EXPECT_EQ(scrambleKey(scrambled), bytes);
  for (std::string::size_type i = 0; i < bytes.size(); ++i) {
    EXPECT_NE(scrambled[i], bytes[i]) << "byte " << i << " stored as sent";
  }

  // Scrambling zeros shows the pad: three bytes, repeated.
  std::string pad = scrambleKey(std::string(9, '\0'));
  for (int i = 3; i < 9; ++i) EXPECT_EQ(pad[i], pad[i % 3]);
  EXPECT_FALSE(pad[0] == pad[1] && pad[1] == pad[2]) << "a one-byte key in disguise";

  // A key equal to the pad is stored as zero bytes and still comes back whole.
  EXPECT_EQ(scrambleKey(pad), std::string(9, '\0'));
  EXPECT_EQ(scrambleKey(std::string(9, '\0')), pad);
  EXPECT_EQ(scrambleKey(""), "");
}

class CacheFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / fs::unique_path("pianocorvida-cache-%%%%-%%%%");
    fs::create_directories(folder_ / "cache");
    saved_install_path_ = g_install_path;
    g_install_path = folder_.string();
  }
  void TearDown() override {
    g_install_path = saved_install_path_;
    boost::system::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  std::string cached(const std::string& name) const { return (folder_ / "cache" / name).string(); }
  size_t entriesStartingWith(const std::string& prefix) const {
    size_t count = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder_ / "cache")) {
      if (entry.path().filename().string().compare(0, prefix.size(), prefix) == 0) ++count;
    }
    return count;
  }

  fs::path folder_;
  std::string saved_install_path_;
};

TEST_F(CacheFolderTest, ReaderAndChecksTellFilesFromFolders) {
  fs::create_directories(folder_ / "cache" / "42");
  EXPECT_TRUE(existsInCache("42"));
  EXPECT_FALSE(isFileReadable(cached("42")));
  EXPECT_EQ(readCacheFile(cached("42")), "");
  EXPECT_FALSE(existsInCache("43"));
  EXPECT_FALSE(isFileReadable(cached("43")));

  // A missing file reads as empty text and leaves the database lock free.
  EXPECT_EQ(readCacheFile(cached("43")), "");
  ASSERT_TRUE(g_local_db_mutex.try_lock());
  g_local_db_mutex.unlock();

  std::string bytes("\x00\x01\xff\r\n\x1a", 6);
  CvFileWriter writer(cached("43"));
  writer.setContent(bytes);
  ASSERT_TRUE(writer.writeFile());
  EXPECT_TRUE(existsInCache("43"));
  EXPECT_TRUE(isFileReadable(cached("43")));
  EXPECT_EQ(readCacheFile(cached("43")), bytes);

  CvFileWriter empty(cached("44"));
  empty.setContent("");
  EXPECT_FALSE(empty.writeFile());
  EXPECT_FALSE(fs::exists(folder_ / "cache" / "44"));

  CvFileWriter intoFolder(cached("42"));
  intoFolder.setContent("x");
  EXPECT_FALSE(intoFolder.writeFile());
}

TEST_F(CacheFolderTest, AWriteThatFailsHalfWayKeepsTheOldFile) {
  CvFileWriter first(cached("7"));
  first.setContent("old song bytes");
  ASSERT_TRUE(first.writeFile());

  // A file-size limit makes the write fail part-way, as a full disk would.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 4;
  setrlimit(RLIMIT_FSIZE, &small);
  CvFileWriter second(cached("7"));
  second.setContent(std::string(100000, 'n'));
  bool written = second.writeFile();
  setrlimit(RLIMIT_FSIZE, &saved);

  EXPECT_FALSE(written);
  EXPECT_EQ(readCacheFile(cached("7")), "old song bytes");
  EXPECT_EQ(entriesStartingWith("7."), 0u);
}

// Side files a killed run left behind (this version's and the single shared one of
// earlier versions) go with the next write of the same file; those of other files,
// and cached files whose names merely look alike, stay.
TEST_F(CacheFolderTest, SideFilesLeftByAKilledRunGoWithTheNextWrite) {
  fs::path cache = folder_ / "cache";
  for (const char* name : {"7.partial", "7.partial.0123456789abcdef0123456789abcdef.3",
                           "8.partial.0123456789abcdef0123456789abcdef.3",
                           "7.partial.looks.alikeEncryptionKey"}) {
    std::ofstream(cache / name) << "left";
  }
  CvFileWriter writer(cached("7"));
  writer.setContent("new song bytes");
  ASSERT_TRUE(writer.writeFile());
  EXPECT_EQ(readCacheFile(cached("7")), "new song bytes");
  EXPECT_FALSE(fs::exists(cache / "7.partial"));
  EXPECT_FALSE(fs::exists(cache / "7.partial.0123456789abcdef0123456789abcdef.3"));
  EXPECT_TRUE(fs::exists(cache / "8.partial.0123456789abcdef0123456789abcdef.3"));
  EXPECT_TRUE(fs::exists(cache / "7.partial.looks.alikeEncryptionKey"));
  EXPECT_EQ(entriesStartingWith("7.partial."), 1u);
}

}  // namespace
