// Form-encoded request bodies as the web mail servlet reads them.
#ifndef QV_TOOLS_QVSERVLET_FORM_H
#define QV_TOOLS_QVSERVLET_FORM_H

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qv::servlet {

using FormFields = std::vector<std::pair<std::string, std::string>>;

// Decodes one value: "+" is a space, "%uXXXX" a UTF-16 code unit (a surrogate
// pair becomes one character, a lone half U+FFFD), "%XX" a byte, and bytes are
// in the system code page. The result is UTF-8.
std::string DecodeFormValue(std::string_view value);

// Splits `body` at `separator`, each piece at its first "=", and decodes both
// name and value. Empty pieces are skipped.
FormFields ParseForm(std::string_view body, char separator = '&');

// The raw (undecoded) value of the first field `name` of `body`, or "".
std::string RawField(std::string_view body, std::string_view name);

// The decoded value of the first field `name`, or "".
std::string FieldValue(const FormFields& fields, std::string_view name);

}  // namespace qv::servlet

#endif
