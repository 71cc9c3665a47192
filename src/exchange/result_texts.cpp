#include "exchange/result_texts.h"

namespace ts::results {

std::string chooseResult(const std::string& textoErro, std::string respostaSerial) {
  if (!textoErro.empty()) return textoErro;
  if (respostaSerial.empty()) return std::string(kSemResposta);
  respostaSerial.insert(0, std::string(kSucesso) + "\r\n");
  return respostaSerial;
}

int resultCode(std::string_view resultText) {
  if (resultText.size() < 4 || resultText[3] != '|') return -1;
  int code = 0;
  for (char c : resultText.substr(0, 3)) {
    if (c < '0' || c > '9') return -1;
    code = code * 10 + (c - '0');
  }
  return code;
}

}  // namespace ts::results
