// The words of a text as ICU alone gives them under the Unicode word rule, for tests to hold
// QuoventMR_v3 --words unicode to.
#pragma once

#include <string>
#include <vector>

namespace quovent_test {

// The letter, kana and ideograph segments of ICU's root word break iterator over each line of
// the text (invalid UTF-8 read as U+FFFD; a line end is always a boundary, but ICU's dictionaries
// look back past it), each lowered for `language` ("" for the root, "tr"), put in
// form C and cut as a word is cut: each character kept while it fits whole in 255 bytes.
std::vector<std::string> icu_words(const std::string &text, const char *language);

}  // namespace quovent_test
