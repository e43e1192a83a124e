#include "server/blob_store.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace vexa::server {
namespace {

TEST(BlobStoreTest, ANewPartialFileIsDurableInItsFolderAndPublishingKeepsIt) {
  char tmpl[] = "/tmp/vexa-blobs-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmpl));
  const std::string root = tmpl;
  BlobStore blobs(root + "/content");
  std::string error;
  ASSERT_TRUE(blobs.Open(&error)) << error;
  const int before = blobs.TEST_folder_syncs();
  ASSERT_TRUE(blobs.WriteRange(7, 0, "hello", &error)) << error;
  EXPECT_EQ(before + 1, blobs.TEST_folder_syncs()) << "the new name is synced";
  ASSERT_TRUE(blobs.WriteRange(7, 5, " world", &error)) << error;
  EXPECT_EQ(before + 1, blobs.TEST_folder_syncs()) << "an existing file needs no folder sync";

  const std::string sha1 = "2AAE6C35C94FCFB415DBE95F408B9CE91EE846ED";
  ASSERT_TRUE(blobs.Publish(7, sha1, &error)) << error;
  ASSERT_TRUE(blobs.Publish(7, sha1, &error)) << "held content is kept: " << error;
  EXPECT_TRUE(blobs.HasBlob(sha1));
  EXPECT_EQ(std::vector<int64_t>{7}, blobs.ListPartials())
      << "the partial name stays until removed";
  blobs.RemovePartial(7);
  std::stringstream text;
  text << std::ifstream(blobs.BlobPath(sha1)).rdbuf();
  EXPECT_EQ("hello world", text.str());
  EXPECT_EQ(std::vector<std::string>{sha1}, blobs.ListBlobs());
  std::filesystem::remove_all(root);
}

TEST(BlobStoreTest, ARewrittenRangeDropsWhatFollowedItAndLetsTheCallerWorkBeforeTheSync) {
  char tmpl[] = "/tmp/vexa-blobs-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmpl));
  const std::string root = tmpl;
  BlobStore blobs(root);
  std::string error;
  ASSERT_TRUE(blobs.Open(&error)) << error;
  int calls = 0;
  ASSERT_TRUE(blobs.WriteRange(3, 0, "0123456789", &error, [&calls] { ++calls; })) << error;
  // An unacknowledged write left bytes past 4: the next range ends the file.
  ASSERT_TRUE(blobs.WriteRange(3, 4, "ab", &error, [&calls] { ++calls; })) << error;
  EXPECT_EQ(2, calls);
  std::stringstream text;
  text << std::ifstream(blobs.PartialPath(3)).rdbuf();
  EXPECT_EQ("0123ab", text.str());
  ASSERT_TRUE(blobs.WriteRange(3, 6, "cd", &error)) << error;
  text.str("");
  text << std::ifstream(blobs.PartialPath(3)).rdbuf();
  EXPECT_EQ("0123abcd", text.str());
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace vexa::server
