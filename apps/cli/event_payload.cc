#include "apps/cli/event_payload.h"

#include <json/json.h>

#include <vector>

#include "codec/text.h"
#include "control/method_table.h"
#include "control/payload.h"

namespace vexa::cli {
namespace {

bool IsEscaped(const std::string& payload) {
  if (payload.size() % 6 != 0) return false;
  for (size_t i = 0; i < payload.size(); i += 6) {
    if (payload.compare(i, 2, "\\u") != 0) return false;
    for (size_t k = 2; k < 6; ++k) {
      if (HexDigitValue(payload[i + k]) < 0) return false;
    }
  }
  return true;
}

Json::Value ProgressFields(const ProgressRow& row) {
  Json::Value f(Json::objectValue);
  f["fileName"] = row.fileName;
  f["localPath"] = row.localPath;
  f["totalBytes"] = Json::UInt64(row.totalBytes);
  f["doneBytes"] = Json::UInt64(row.doneBytes);
  f["speed"] = Json::Int64(row.speed);
  f["timeLeft"] = row.timeLeft;
  f["status"] = row.status;
  f["statusName"] = StatusName(row.status);
  f["uploadPercent"] = row.uploadPercent;
  f["hashPercent"] = row.hashPercent;
  f["errorCode"] = Json::Int64(row.errorCode);
  f["errorText"] = row.errorText;
  f["pickCode"] = row.pickCode;
  f["isFolder"] = row.isFolder;
  f["queueSummary"] = row.queueSummary;
  return f;
}

}  // namespace

const char* StatusName(int status) {
  static const char* const kNames[] = {"Waiting", "Hashing",   "Uploading", "Stopped",
                                       "Failed",  "Completed", "Cancelled"};
  return status >= 0 && status <= 6 ? kNames[status] : "Unknown";
}

bool DecodeProgressRow(std::string_view text, ProgressRow* row) {
  const std::vector<std::string> f = SplitProgressFields(text);
  if (f.size() != 14) return false;
  ProgressRow r;
  r.fileName = f[0];
  r.localPath = f[1];
  r.totalBytes = ParseU64(f[2]);
  r.doneBytes = ParseU64(f[3]);
  r.speed = static_cast<int64_t>(ParseU64(f[4]));  // sign-extended by the writer
  r.timeLeft = f[5];
  r.status = static_cast<int>(ParseU64(f[6]));
  r.uploadPercent = f[7];
  r.hashPercent = f[8];
  r.errorCode = static_cast<int64_t>(ParseU64(f[9]));
  r.errorText = f[10];
  r.pickCode = f[11];
  r.isFolder = f[12] == "1";
  r.queueSummary = f[13];
  *row = std::move(r);
  return true;
}

std::string EventJsonLine(int dispid, const std::string& payload) {
  Json::Value line(Json::objectValue);
  const EventInfo* event = FindEvent(dispid);
  line["event"] = event != nullptr ? event->name : "UnknownEvent";
  line["dispid"] = dispid;
  line["payload"] = payload;
  const std::string text = UnescapeUnicode(payload);
  if (!IsEscaped(payload)) {
    line["fields"] = Json::Value(Json::nullValue);
  } else if (dispid == kProgressEvent || dispid == kLoadTaskEvent) {
    ProgressRow row;
    if (DecodeProgressRow(text, &row)) {
      line["fields"] = ProgressFields(row);
    } else {
      line["fields"]["text"] = text;
    }
  } else if (dispid == kLoginEvent) {
    line["fields"]["ok"] = text.rfind("1|", 0) == 0;
    line["fields"]["text"] = text.size() >= 2 ? text.substr(2) : text;
  } else if (dispid == kLoadUnfinishTaskEvent) {
    const size_t bar = text.rfind('|');
    line["fields"]["path"] = text.substr(0, bar);
    line["fields"]["error"] = bar == std::string::npos ? std::string() : text.substr(bar + 1);
  } else {
    line["fields"]["path"] = text;
  }
  return JsonLine(line);
}

std::string JsonLine(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, value);
}

}  // namespace vexa::cli
