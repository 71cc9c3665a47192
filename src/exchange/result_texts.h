#pragma once

#include <string>
#include <string_view>

namespace ts::results {

// The result texts, as the Windows-1252 bytes that the response file and the
// window carry. Literal pieces are split where a hex escape would otherwise
// swallow the letters that follow it.
inline constexpr std::string_view kSucesso = "000|Sucesso";
inline constexpr std::string_view kSemResposta =
    "001|O dispositivo conectado \xE0 porta serial n\xE3o respondeu no prazo de 1 segundo";
inline constexpr std::string_view kNaoConfigurada =
    "002|A porta n\xE3o p\xF4"
    "de ser configurada conforme os dados recebidos no arquivo ordem.txt";
inline constexpr std::string_view kNaoAberta =
    "003|A porta n\xE3o p\xF4"
    "de ser aberta. Verifique se ela existe ou se est\xE1 ocupada por outro processo";
inline constexpr std::string_view kOrdemAusente =
    "004|N\xE3o foi encontrado o arquivo ordem.txt na pasta ORDEM";
inline constexpr std::string_view kOrdemIncorreta =
    "005|O arquivo de origem est\xE1 incorreto, verifique o que consta em cada linha";
inline constexpr std::string_view kSemExibicao =
    "006|O arquivo config.ini n\xE3o possui configura\xE7\xE3o para exibi\xE7\xE3o do "
    "formul\xE1rio";
inline constexpr std::string_view kSemTempo =
    "007|O arquivo config.ini n\xE3o possui configura\xE7\xE3o de tempo em segundos para "
    "exibi\xE7\xE3o do formul\xE1rio";

// The result a run ends with: a recorded failure stands; otherwise any
// received text, even a lone blank, is a success. The reply can be large
// (a device that floods the line): it becomes the result in place.
std::string chooseResult(const std::string& textoErro, std::string respostaSerial);

// The three digits before the first '|', as a number; -1 when the text does
// not start with a result code.
int resultCode(std::string_view resultText);

}  // namespace ts::results
