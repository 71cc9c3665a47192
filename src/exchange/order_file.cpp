#include "exchange/order_file.h"

#include <array>

#include "exchange/file_io.h"
#include "exchange/text_lines.h"

namespace ts {

OrderReading parseOrder(const std::string& content) {
  OrderReading reading;
  Order& order = reading.order;
  const std::array<std::string*, 6> fields{&order.numPorta,     &order.velocidadePorta,
                                           &order.qtdBitsPorta, &order.qtdBitsStop,
                                           &order.temParidade,  &order.textoPorta};
  const auto lines = splitLines(content, fields.size());
  for (std::size_t i = 0; i < lines.size(); ++i) *fields[i] = lines[i];

  const bool complete = !order.numPorta.empty() && !order.velocidadePorta.empty() &&
                        !order.qtdBitsPorta.empty() && !order.qtdBitsStop.empty() &&
                        !order.temParidade.empty();
  reading.status = complete ? OrderStatus::Accepted : OrderStatus::Incorrect;
  return reading;
}

OrderReading readOrder(const std::string& orderFolder) {
  const std::string path = orderFolder + "ordem.txt";
  if (!fileio::isRegularFile(path)) return {};
  const auto content = fileio::readFileHead(path, kOrderSizeLimit);
  if (!content) return {};
  if (!content->whole) return OrderReading{OrderStatus::Incorrect, {}};
  return parseOrder(content->bytes);
}

}  // namespace ts
