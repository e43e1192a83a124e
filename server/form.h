#ifndef VEXA_SERVER_FORM_H_
#define VEXA_SERVER_FORM_H_

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vexa::server {

// Decodes "%XX" escapes and "+" (a space). False on a malformed escape.
bool UrlDecode(std::string_view text, std::string* out);

// Fields of a query string or a urlencoded form body. A name given twice is
// refused, so a signed value can never be shadowed by a second copy.
using FormFields = std::map<std::string, std::string>;
bool ParseUrlEncoded(std::string_view text, FormFields* fields);
// The same fields with their values as sent, undecoded ("a+b%" stays as it
// is): some clients write login values raw.
bool ParseRawForm(std::string_view text, FormFields* fields);
// The value of field `name`, "" when absent.
const std::string& Field(const FormFields& fields, const std::string& name);

// The query part of a request target ("" when there is none).
std::string_view QueryOf(std::string_view target);

// One part of a multipart/form-data body; `data` points into the body.
struct MultipartPart {
  std::string name;
  std::string filename;
  bool has_filename = false;
  std::string_view data;
};

// The boundary parameter of a multipart/form-data content type.
bool MultipartBoundary(std::string_view content_type, std::string* boundary);

// Splits a multipart body. The closing delimiter may end the body directly
// (no CRLF after it); a body without one is refused, and so is a part
// without exactly one Content-Disposition header. A part with a file name
// must be the last: its data is every byte before the closing delimiter,
// whatever it holds.
bool ParseMultipart(std::string_view body, std::string_view boundary,
                    std::vector<MultipartPart>* parts);

// Where the file part's data begins in a body of which `head` is the start,
// as ParseMultipart will find it once the whole body is there; npos while
// `head` is too short to tell (or malformed). Lets the data be hashed as it
// arrives.
size_t MultipartFileStart(std::string_view head, std::string_view boundary);
// At most how many bytes end a body after its file data: until this many
// more have arrived, the last received bytes may yet turn out not to be data.
size_t MultipartTailBytes(std::string_view boundary);

}  // namespace vexa::server

#endif  // VEXA_SERVER_FORM_H_
