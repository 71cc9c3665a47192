#include "exchange/response_file.h"

#include "exchange/file_io.h"

namespace ts {

bool writeResponse(const std::string& responseFolder, const std::string& shownResult) {
  return fileio::replaceFile(responseFolder + "resposta.txt", {shownResult, "\r\n"});
}

}  // namespace ts
