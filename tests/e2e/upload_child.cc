// Uploads one file to the service with the engine and the transfer worker,
// as a host would, and exits when it ends: the process the crash test kills.
//
// usage: upload_child API_BASE ACCOUNT PASSWORD FILE
// The data folder comes from VEXAUPLOAD_DATA_DIR. Prints one line per notice
// of the file ("STATUS DONE TOTAL"); exits 0 once it completed, 1 otherwise.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "account/account_api.h"
#include "account/login.h"
#include "account/session.h"
#include "engine/engine.h"
#include "engine/transfer_worker.h"
#include "net/http_client.h"

namespace {

std::mutex mu;
std::condition_variable cv;
bool logged_in_done = false;
int final_status = -1;

class Observer : public vexa::LoginObserver {
 public:
  void OnLogin() override {
    std::lock_guard<std::mutex> l(mu);
    logged_in_done = true;
    cv.notify_all();
  }
  void OnLogout() override {}
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: upload_child API_BASE ACCOUNT PASSWORD FILE\n");
    return 2;
  }
  const std::string file = argv[4];
  vexa::ProcessHttpClient().useSystemProxy = false;
  vexa::SetAccountApiBase(argv[1]);
  Observer observer;
  vexa::AddLoginObserver(&observer);
  if (!vexa::StartLogin(argv[2], argv[3], false, false)) return 1;
  {
    std::unique_lock<std::mutex> l(mu);
    cv.wait(l, [] { return logged_in_done; });
  }
  if (!vexa::IsLoggedIn()) {
    std::fprintf(stderr, "upload_child: login failed: %s\n", vexa::GetLastErrorText().c_str());
    return 1;
  }
  vexa::InstallTransferWorker();
  vexa::StartEngine(
      [&file](vexa::TaskNotice n) {
        if (n.path != file) return;
        std::printf("%d %lld %lld\n", n.status, static_cast<long long>(n.doneSize),
                    static_cast<long long>(n.totalSize));
        std::fflush(stdout);
        const auto s = static_cast<vexa::TaskStatus>(n.status);
        if (s == vexa::TaskStatus::Completed || s == vexa::TaskStatus::Failed) {
          std::lock_guard<std::mutex> l(mu);
          final_status = n.status;
          cv.notify_all();
        }
      },
      0);
  // A file the last run left stopped is in the store; adding it again starts it.
  if (!vexa::AddFileTask(file, vexa::GetDefaultTarget(), 0, "", "", true)) return 1;
  {
    std::unique_lock<std::mutex> l(mu);
    cv.wait(l, [] { return final_status >= 0; });
  }
  // The worker removes the finished file's record after its last report.
  while (vexa::GetQueueTotals().runningCount != 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  vexa::StopEngine();
  return final_status == static_cast<int>(vexa::TaskStatus::Completed) ? 0 : 1;
}
