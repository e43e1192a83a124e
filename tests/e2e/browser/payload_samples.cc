// Prints, as one JSON document, payloads made by the control's own payload
// code with the texts the page must read back from them, so the page-side
// decoder is checked against the real encoder.

#include <json/json.h>

#include <cstdio>
#include <string>

#include "codec/text.h"
#include "control/payload.h"

namespace {

vexa::ProgressRecord Record(const std::string& name, const std::string& path, int64_t total,
                            int64_t done) {
  vexa::ProgressRecord r;
  r.fileName = name;
  r.path = path;
  r.totalSize = total;
  r.doneSize = done;
  r.speed = 1024;
  r.secondsLeft = 3725;
  r.status = 2;
  r.hashProgress = 100.0;
  r.pickCode = "abc123";
  r.queueSummary = "2,300,1024,00:01:02";
  return r;
}

}  // namespace

int main() {
  Json::Value out;
  for (const char* text :
       {"A", "\xE6\x96\x87", "\xF0\x9F\x98\x80 smile", "1|ok", "0|wrong password", "",
        "/home/u/a \"quoted\" | piped\nline.txt|\xE7\xBD\x91\xE7\xBB\x9C"}) {
    Json::Value t;
    t["payload"] = vexa::EscapeUnicode(text);
    t["text"] = text;
    out["texts"].append(t);
  }
  std::vector<vexa::ProgressRecord> records;
  records.push_back(Record("half.bin", "/data/half.bin", 200, 100));  // 50.00%
  records.push_back(Record("empty.txt", "/data/empty.txt", 0, 0));    // 0.00%
  records.push_back(Record("\xE6\x96\x87.txt", "/data/\xE6\x96\x87.txt", 10, 10));
  records.push_back(Record("a|b.txt", "/data/x|y/a|b.txt", 1000, 1));  // separators in names
  records.push_back(Record("\xF0\x9F\x98\x80.png", "/data/\xF0\x9F\x98\x80.png", 5, 2));
  vexa::ProgressRecord failed = Record("gone.txt", "/data/gone.txt", 7, 0);
  failed.status = 4;
  failed.errorCode = 2;
  failed.errorText =
      vexa::Utf8ToAnsi("\xE6\x96\x87\xE4\xBB\xB6\xE4\xB8\x8D\xE5\xAD\x98\xE5\x9C\xA8");
  failed.pickCode.clear();  // two adjacent separators
  records.push_back(failed);
  vexa::ProgressRecord folder = Record("photos", "/data/photos", 4096, 1024);
  folder.isFolder = 1;
  folder.speed = -1;  // sign-extended
  folder.errorCode = -5;
  records.push_back(folder);
  for (const vexa::ProgressRecord& r : records) {
    Json::Value p;
    const std::string payload = vexa::ProgressPayload(r);
    p["payload"] = payload;
    for (const std::string& f : vexa::SplitProgressFields(vexa::UnescapeUnicode(payload)))
      p["fields"].append(f);
    out["progress"].append(p);
  }
  Json::StreamWriterBuilder w;
  w["indentation"] = " ";
  std::printf("%s\n", Json::writeString(w, out).c_str());
  return 0;
}
