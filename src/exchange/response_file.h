#pragma once

#include <string>

namespace ts {

// Writes `<responseFolder>resposta.txt` whole, replacing any earlier one:
// the result text as the window shows it, then a closing CR LF.
// False when it cannot be written (missing folder, no permission).
bool writeResponse(const std::string& responseFolder, const std::string& shownResult);

}  // namespace ts
