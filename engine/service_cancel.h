#ifndef VEXA_ENGINE_SERVICE_CANCEL_H_
#define VEXA_ENGINE_SERVICE_CANCEL_H_

// Cancels at the upload service. An upload the service knows (it named a pick
// code) keeps a session there, with the quota it reserves, until the service
// hears the cancel. Whoever cancels such an upload queues its cancel here: it
// is kept with the resume records until the service has answered, sent by a
// thread of the engine's start, and sent again at the next start when the
// service could not be reached.

#include <cstdint>

#include "protocol/upload_job.h"
#include "store/resume_store.h"

namespace vexa {

// The cancel of the upload `fields` describe; nothing without a pick code.
void QueueServiceCancel(const JobFields& fields);
// The cancel of an upload known only from its resume record.
void QueueServiceCancel(const std::string& file_path, const ResumeRecord& record);

// Sends the cancels the store keeps from earlier runs. Called by StartEngine.
void StartServiceCancels();

// Waits until every cancel queued in this start has been answered or has
// failed (and is kept for the next). Hosts call it before they log out. False
// on time-out.
bool WaitForServiceCancels(uint32_t timeout_ms);

}  // namespace vexa

#endif  // VEXA_ENGINE_SERVICE_CANCEL_H_
