#include "store/error_table.h"

#include <cstdlib>
#include <filesystem>

#include "account/test_data_dir.h"
#include "gtest/gtest.h"
#include "port/codepage.h"
#include "port/file.h"

namespace vexa {
namespace {

// The first initialisation decides the log folder for the whole process, so
// it happens here, before any test, in a data folder of its own.
class ErrorLogEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    // A child started by the crash test is killed before it could clean up.
    if (std::getenv("VEXA_CRASH_CHILD_DIR") != nullptr) return;
    dir_ = std::make_unique<TestDataDir>();
    expected_ = dir_->folder() + "errlog" + port::kPathSeparator;
    InitErrorMessages();
  }
  void TearDown() override { dir_.reset(); }
  static std::string expected_;

 private:
  std::unique_ptr<TestDataDir> dir_;
};
std::string ErrorLogEnvironment::expected_;
[[maybe_unused]] ::testing::Environment* const kEnv =
    ::testing::AddGlobalTestEnvironment(new ErrorLogEnvironment);

TEST(ErrorTableTest, PreparesTheLogFolderOnce) {
  EXPECT_EQ(ErrorLogEnvironment::expected_, ErrorLogFolder());
  EXPECT_TRUE(std::filesystem::is_directory(ErrorLogFolder()));
  TestDataDir other;
  InitErrorMessages();
  EXPECT_EQ(ErrorLogEnvironment::expected_, ErrorLogFolder());
}

TEST(ErrorTableTest, TextsAreTheListedOnesInGbk) {
  const struct {
    int32_t code;
    const char* utf8;
  } rows[] = {
      // clang-format off
      {2, "文件已经移动或删除"},     {3, "文件夹已经移动或删除"},   {32, "文件被其他进程占用"},
      {123, "文件或目录名称不正确"}, {300, "mdvexa碰撞"},            {400, "签名认证失败"},
      {401, "用户身份异常"},         {402, "参数错误"},              {403, "上传权限超时"},
      {404, "range错误"},            {405, "哈希不匹配"},            {410, "网盘空间不足"},
      {411, "文件大小超过额度"},     {412, "提取码不存在"},          {500, "服务器磁盘空间不足"},
      {501, "上传服务器繁忙"},       {502, "502未知错误"},           {600, "客户端版本过低"},
      {1000, "空文件不能上传"},      {1001, "计算文件哈希失败"},     {1002, "内存分配失败"},
      {1003, "请求文件调度失败a"},   {1004, "请求文件调度失败b"},    {1005, "请求文件调度失败c"},
      {1006, "请求文件断点失败a"},   {1007, "请求文件断点失败b"},    {1008, "请求文件断点失败c"},
      {1009, "请求文件上传失败a"},   {1010, "请求文件上传失败b"},    {1011, "请求文件上传失败c"},
      {1012, "没有指定上传目标"},    {1013, "网盘空间不足"},         {1014, "文件超过单文件大小限制"},
      {1015, "请检查你的网络连接"},  {1016, "上传过程中文件已被修改"}, {1101, "计算文件哈希失败a"},
      {1102, "计算文件哈希失败b"},   {1103, "计算文件哈希失败c"},    {1104, "计算文件哈希失败d"},
      {1105, "计算文件哈希失败e"},   {1106, "计算文件哈希失败f"},    {10014, "目录不存在"},
      // clang-format on
  };
  for (const auto& r : rows) {
    const std::string gbk = ErrorMessageText(r.code);
    EXPECT_EQ(port::Utf8ToGbk(r.utf8), gbk) << r.code;
    EXPECT_EQ(r.utf8, port::GbkToUtf8(gbk)) << r.code;
  }
  EXPECT_EQ(port::Utf8ToGbk("未知错误"), ErrorMessageText(999));
  EXPECT_EQ(port::Utf8ToGbk("未知错误"), ErrorMessageText(-1));
}

TEST(ErrorTableTest, TaskTextPrefersTheServiceMessageButNotWithoutACode) {
  const std::string service = port::Utf8ToGbk("服务端说明");
  EXPECT_EQ("", TaskErrorText(0, service));
  EXPECT_EQ(service, TaskErrorText(402, service));
  EXPECT_EQ(ErrorMessageText(410), TaskErrorText(1013, ""));
  EXPECT_EQ(port::Utf8ToGbk("未知错误"), TaskErrorText(999, ""));
}

}  // namespace
}  // namespace vexa
