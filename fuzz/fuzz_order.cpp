// The order file reader on any bytes: the six fields never hold a CR, the
// status follows the presence rule, and the fields written out again as an
// order file read back the same.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "exchange/order_file.h"
#include "fuzz_check.h"

namespace {

std::array<const std::string*, 6> fieldsOf(const ts::Order& order) {
  return {&order.numPorta,    &order.velocidadePorta, &order.qtdBitsPorta,
          &order.qtdBitsStop, &order.temParidade,     &order.textoPorta};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  const ts::OrderReading reading = ts::parseOrder(content);
  check(reading.status != ts::OrderStatus::NotFound);

  std::string rewritten;
  bool required = true;
  for (std::size_t i = 0; i < 6; ++i) {
    const std::string& field = *fieldsOf(reading.order)[i];
    check(field.find('\r') == std::string::npos);
    check(field.size() <= content.size());
    if (i < 5 && field.empty()) required = false;
    rewritten += field + "\r\n";
  }
  check((reading.status == ts::OrderStatus::Accepted) == required);

  const ts::OrderReading again = ts::parseOrder(rewritten);
  check(again.status == reading.status);
  for (std::size_t i = 0; i < 6; ++i) {
    check(*fieldsOf(again.order)[i] == *fieldsOf(reading.order)[i]);
  }
  return 0;
}
