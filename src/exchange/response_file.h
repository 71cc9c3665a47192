#pragma once

#include <string>

namespace ts {

// The bytes of resposta.txt: the result text as the window shows it, then
// a closing CR LF.
std::string responseContent(const std::string& shownResult);

// Writes `<responseFolder>resposta.txt` whole, replacing any earlier one.
// False when it cannot be written (missing folder, no permission).
bool writeResponse(const std::string& responseFolder, const std::string& shownResult);

}  // namespace ts
