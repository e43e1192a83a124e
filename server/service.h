#ifndef VEXA_SERVER_SERVICE_H_
#define VEXA_SERVER_SERVICE_H_

#include <httplib.h>

#include <string>

#include "server/account_api.h"
#include "server/admin_export.h"
#include "server/blob_store.h"
#include "server/dispatch_api.h"
#include "server/faults.h"
#include "server/metadata.h"
#include "server/options.h"
#include "server/service_context.h"
#include "server/session_registry.h"
#include "server/transfer_api.h"
#include "server/web_site.h"

namespace vexa::server {

// The account API, the upload service, the admin export and the web site
// over one set of stores. Handlers run on the HTTP server's worker threads.
class Service {
 public:
  Service(const Options& options, Metadata* meta, BlobStore* blobs, FaultPlan* faults);
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Creates or updates the configured accounts and settles what a crash
  // left behind. False with *error set on failure.
  bool Start(std::string* error);

  // Every address handed to clients lies below `base` ("http://host:port").
  void set_base_url(const std::string& base) { ctx_.base_url = base; }

  void Install(httplib::Server* server);

 private:
  ServiceContext ctx_;
  SessionRegistry sessions_;
  AccountApi account_;
  DispatchApi dispatch_;
  TransferApi transfer_;
  AdminExport export_;
  WebSite web_;
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_SERVICE_H_
