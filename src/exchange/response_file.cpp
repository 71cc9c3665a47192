#include "exchange/response_file.h"

#include "exchange/file_io.h"

namespace ts {

std::string responseContent(const std::string& shownResult) {
  return shownResult + "\r\n";
}

bool writeResponse(const std::string& responseFolder, const std::string& shownResult) {
  return fileio::replaceFile(responseFolder + "resposta.txt", responseContent(shownResult));
}

}  // namespace ts
