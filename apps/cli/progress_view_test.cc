#include "apps/cli/progress_view.h"

#include <gtest/gtest.h>

namespace vexa::cli {
namespace {

ProgressRow Row(const std::string& path, int status, uint64_t total, uint64_t done,
                bool folder = false) {
  ProgressRow r;
  r.localPath = path;
  r.fileName = path.substr(path.rfind('/') + 1);
  r.status = status;
  r.totalBytes = total;
  r.doneBytes = done;
  char pct[16];
  std::snprintf(pct, sizeof(pct), "%.2f%%", total == 0 ? 0.0 : 100.0 * done / total);
  r.uploadPercent = pct;
  r.hashPercent = "100.00%";
  r.isFolder = folder;
  r.queueSummary = "1,4194304,1048576,00:00:03";
  return r;
}

int CountLines(const std::string& s) {
  return static_cast<int>(std::count(s.begin(), s.end(), '\n'));
}

TEST(ProgressViewTest, TerminalDrawsOneBarPerRunningRowAndATotalInPlace) {
  ProgressView view(/*terminal=*/true, 80);
  view.Update(Row("/d/a.bin", kUploading, 4194304, 1048576));
  view.Update(Row("/d/b.bin", kWaiting, 100, 0));
  const std::string first = view.Render(1000);
  EXPECT_EQ(CountLines(first), 2);  // one bar (b waits) and the total
  EXPECT_NE(first.find("a.bin"), std::string::npos);
  EXPECT_NE(first.find("25.00%"), std::string::npos);
  const size_t open = first.find(" [") + 1, close = first.find(']', open);
  const std::string bar = first.substr(open + 1, close - open - 1);
  EXPECT_EQ(std::count(bar.begin(), bar.end(), '#'), static_cast<long>((bar.size() + 2) / 4))
      << bar;
  EXPECT_NE(first.find("total  0/2 done"), std::string::npos);
  EXPECT_NE(first.find("1.0 MiB/s"), std::string::npos);
  EXPECT_NE(first.find("00:00:03 left"), std::string::npos);
  for (size_t start = 0, end; (end = first.find('\n', start)) != std::string::npos;
       start = end + 1) {
    const size_t from = first.rfind('J', end);  // after the erase sequence, when it is on this line
    const size_t begin = from != std::string::npos && from >= start ? from + 1 : start;
    EXPECT_LT(end - begin, 80u) << first.substr(begin, end - begin);  // fits the width
  }

  // Within the redraw interval nothing is written; after it, the two lines
  // drawn before are replaced.
  view.Update(Row("/d/a.bin", kUploading, 4194304, 2097152));
  EXPECT_EQ(view.Render(1000 + ProgressView::kRedrawMs - 1), "");
  const std::string second = view.Render(1000 + ProgressView::kRedrawMs);
  EXPECT_EQ(second.rfind("\r\x1b[2A\r\x1b[J", 0), 0u) << second;
  EXPECT_NE(second.find("50.00%"), std::string::npos);

  // A row that ends leaves a line above the bars; the bar goes.
  view.Update(Row("/d/a.bin", kCompleted, 4194304, 4194304));
  const std::string third = view.Render(1001 + ProgressView::kRedrawMs);
  EXPECT_NE(third.find("Completed /d/a.bin  (4.0 MiB)\n"), std::string::npos) << third;
  EXPECT_EQ(CountLines(third), 2);  // the event line and the total
  EXPECT_NE(third.find("total  1/2 done"), std::string::npos);
  EXPECT_EQ(view.Render(5000), "");  // nothing changed since
}

TEST(ProgressViewTest, PlainOutputWritesStatusChangesAndAnOccasionalTotal) {
  ProgressView view(/*terminal=*/false, 80);
  view.Update(Row("/d/a.bin", kHashing, 10, 0));
  std::string out = view.Render(0);
  EXPECT_EQ(out.find('\x1b'), std::string::npos);
  EXPECT_EQ(out.rfind("Hashing   /d/a.bin\ntotal", 0), 0u) << out;
  view.Update(Row("/d/a.bin", kUploading, 10, 5));
  view.Update(Row("/d/a.bin", kUploading, 10, 6));  // same status: no line
  out = view.Render(1000);
  EXPECT_EQ(out, "Uploading /d/a.bin\n");
  ProgressRow failed = Row("/d/a.bin", kFailed, 10, 6);
  failed.errorCode = 1012;
  failed.errorText = "没有指定上传目标";
  view.Update(failed);
  out = view.Render(ProgressView::kPlainTotalMs);
  EXPECT_NE(
      out.find("Failed    /d/a.bin  error 1012: no upload target was given (没有指定上传目标)\n"),
      std::string::npos)
      << out;
  ProgressView chinese(false, 80, /*chinese=*/true);
  chinese.Update(failed);
  EXPECT_NE(chinese.Render(0).find("Failed    /d/a.bin  error 1012: 没有指定上传目标\n"),
            std::string::npos);
  EXPECT_NE(out.find("0/1 done, 1 failed"), std::string::npos);
  EXPECT_EQ(out.find(" left"), std::string::npos);  // nothing is left to send

  // A folder fails without a code of its own when members failed; the time
  // left comes from the speed when the engine gives none.
  ProgressRow folder = Row("/d/f", kUploading, 3 << 20, 1 << 20, /*folder=*/true);
  folder.queueSummary = "1,3145728,1048576,00:00:00";
  view.Update(folder);
  out = view.Render(2 * ProgressView::kPlainTotalMs);
  EXPECT_NE(out.find("1.0 MiB/s  00:00:02 left"), std::string::npos) << out;
  folder.status = kFailed;
  view.Update(folder);
  EXPECT_NE(view.Render(0, true).find("Failed    /d/f  (some members were not uploaded)"),
            std::string::npos);
}

TEST(ProgressViewTest, FolderMembersCountOnlyThroughTheirFolder) {
  ProgressView view(true, 100);
  view.Update(Row("/d/pics", kUploading, 300, 100, /*folder=*/true));
  view.Update(Row("/d/pics/1.jpg", kUploading, 200, 100));
  view.Update(Row("/d/pics-other.txt", kCompleted, 50, 50));  // not a member: a name prefix only
  const std::string out = view.Render(0);
  EXPECT_NE(out.find("pics/ "), std::string::npos);
  EXPECT_NE(out.find("1.jpg"), std::string::npos);
  EXPECT_NE(out.find("total  1/2 done  150 B of 350 B"), std::string::npos) << out;

  // The folder's bar names the member being sent, the end of its name kept.
  ProgressView narrow(true, 60);
  ProgressRow folder = Row("/d/pics", kUploading, 300, 100, /*folder=*/true);
  folder.member = "/d/pics/2024/summer/IMG_0042.jpg";
  narrow.Update(folder);
  const std::string cut = narrow.Render(0);
  EXPECT_NE(cut.find("...r/IMG_0042.jpg ["), std::string::npos) << cut;
  folder.member = "/d/pictures/x.jpg";  // not below it: the folder alone
  narrow.Update(folder);
  EXPECT_NE(narrow.Render(0, true).find("pics/ "), std::string::npos);
}

// A folder being listed reports 0 bytes: the total says what is known.
TEST(ProgressViewTest, TotalLineLeavesOutSizesNotKnownYet) {
  const auto folder = [](const std::string& path, int status, uint64_t total, int64_t found) {
    ProgressRow r = Row(path, status, total, 0, /*folder=*/true);
    r.filesFound = found;
    r.queueSummary.clear();
    return r;
  };
  ProgressRow file = Row("/d/a.bin", kUploading, 4 << 20, 1 << 20);
  file.queueSummary.clear();
  const struct {
    std::vector<ProgressRow> rows;
    std::string total;
  } cases[] = {
      {{folder("/d/f", kWaiting, 0, 0)}, "total  0/1 done  listing folder... 0 files found"},
      {{folder("/d/f", kWaiting, 0, 1234), folder("/d/g", kWaiting, 0, 1)},
       "total  0/2 done  listing 2 folders... 1235 files found"},
      {{folder("/d/f", kWaiting, 0, 1234), file},
       "total  0/2 done  1.0 MiB of 4.0 MiB (25.0%)  listing folder... 1234 files found"},
      // Listed: the next report carries the size.
      {{folder("/d/f", kWaiting, 0, 7), folder("/d/f", kWaiting, 3 << 20, -1)},
       "total  0/1 done  0 B of 3.0 MiB (0.0%)"},
      // Stopped while listed: no size, and no listing either.
      {{folder("/d/f", kStopped, 0, 7)}, "total  0/1 done"},
  };
  for (const auto& c : cases) {
    ProgressView view(/*terminal=*/false, 80);
    for (const ProgressRow& r : c.rows) view.Update(r);
    const std::string out = view.Render(0);
    const size_t last = out.rfind('\n', out.size() - 2) + 1;
    EXPECT_EQ(out.substr(last), c.total + "\n") << out;
  }
  ProgressView plain(false, 80);
  plain.Update(folder("/d/f", kWaiting, 0, 0));
  EXPECT_EQ(plain.Render(0).rfind("Waiting   /d/f  (listing folder...)\n", 0), 0u);
}

TEST(ProgressViewTest, LongNamesAreCutFromTheLeft) {
  ProgressView view(true, 60);
  view.Update(Row("/d/" + std::string(100, 'n') + "-end.bin", kUploading, 10, 1));
  const std::string out = view.Render(0);
  EXPECT_NE(out.find("...nnnn"), std::string::npos);
  EXPECT_NE(out.find("-end.bin ["), std::string::npos);
}

}  // namespace
}  // namespace vexa::cli
