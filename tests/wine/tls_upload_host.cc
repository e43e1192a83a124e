// The Windows build's HTTPS client end to end: logs alice in at an https://
// account API (the login also fetches the quota) and, with "upload FILE",
// dispatches the file and sends its ranges as the transfer worker does, to
// the upload address the service hands out. With "refused", the login must
// fail on the certificate; the refusal text is printed for the script.
// usage: tls_upload_host BASE (upload FILE | refused)
#include <cstdio>
#include <cstdlib>
#include <string>

#include "account/account_api.h"
#include "account/login.h"
#include "account/session.h"
#include "account/test_login_observer.h"
#include "codec/sha1.h"
#include "net/http_client.h"
#include "port/file.h"
#include "protocol/chunk_post.h"
#include "protocol/dispatch_request.h"
#include "protocol/testing/memory_job.h"
#include "protocol/transfer_request.h"

namespace vexa {
namespace {

int Fail(const std::string& what) {
  std::printf("FAIL: %s\n", what.c_str());
  return 1;
}

int Upload(const std::string& path) {
  MemoryJob job;
  uint32_t error = 0;
  uint64_t size = 0;
  if (!Sha1FileHex(&error, nullptr, path, &job.fields.fileId) ||
      !QuickIdHex(path, &job.fields.quickId, &error) || !port::FileSize64(path, &size)) {
    return Fail("cannot read " + path);
  }
  job.fields.filePath = path;
  job.fields.fileSize = static_cast<int64_t>(size);
  job.fields.target = GetDefaultTarget();
  job.transfer.file = port::OpenFileShared(path, "rb");
  const HttpClient& client = ProcessHttpClient();
  std::string url, body, answer;
  if (!BuildDispatchRequest(job, &url, &body) || !client.Post(url, body, &answer) ||
      !ParseDispatchResponse(job, answer)) {
    return Fail("dispatch at " + url + ": " + answer);
  }
  if (url.rfind("https://", 0) != 0) return Fail("dispatched over " + url);
  if (job.quick_upload) return Fail("the service already had the content");
  if (!BuildBigUploadUrl(job, &url) || url.rfind("https://", 0) != 0)
    return Fail("upload address " + url);
  while (job.transfer.offset < job.fields.fileSize) {
    job.transfer.chunkLength = kMaxRangeBytes;
    bool fatal = false;
    if (!PostChunk(client, kChunkBoundary, job, url, &answer, &fatal, nullptr) ||
        !ParseBigUploadResponse(job, answer)) {
      return Fail("range at " + std::to_string(job.transfer.offset) + ": " + answer);
    }
    job.SetUploadedSize(job.transfer.offset);
  }
  std::fclose(job.transfer.file);
  job.transfer.file = nullptr;
  std::printf("uploaded %s %lld\n", job.fields.fileId.c_str(),
              static_cast<long long>(job.fields.fileSize));
  return 0;
}

int Main(int argc, char** argv) {
  if (argc < 3) return Fail("usage: tls_upload_host BASE (upload FILE | refused)");
  const std::string mode = argv[2];
  ProcessHttpClient().useSystemProxy = false;
  SetAccountApiBase(argv[1]);
  TestLoginObserver observer;
  if (!StartLogin("alice", "alice-pw", false, false) || !observer.WaitForLogins(1, 120000)) {
    return Fail("the login did not end");
  }
  if (mode == "refused") {
    if (IsLoggedIn()) return Fail("logged in over a refused certificate");
    std::printf("refused: %s\n", GetLastErrorText().c_str());
    return 0;
  }
  if (!IsLoggedIn()) return Fail("login: " + GetLastErrorText());
  if (CopyAccountState().spaceTotal == 0) return Fail("no quota");
  const int rc = argc > 3 && mode == "upload" ? Upload(argv[3]) : Fail("unknown mode " + mode);
  LogoutAccount();
  return rc;
}

}  // namespace
}  // namespace vexa

int main(int argc, char** argv) { return vexa::Main(argc, argv); }
