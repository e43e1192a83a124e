#ifndef VEXA_CODEC_JSON_QUOTE_H_
#define VEXA_CODEC_JSON_QUOTE_H_

#include <string>
#include <string_view>

namespace vexa {

// `text` as a JSON string literal, quotes included, in plain ASCII: quote,
// backslash and control characters escaped, every non-ASCII UTF-16 unit as
// "\uXXXX" (surrogate pairs for characters beyond the basic plane). Nothing
// in the text can end the literal or the line it is written on.
std::string JsonQuote(std::u16string_view text);
// The same for UTF-8 text (invalid bytes become U+FFFD).
std::string JsonQuote(std::string_view utf8);

}  // namespace vexa

#endif  // VEXA_CODEC_JSON_QUOTE_H_
