#pragma once

#include <cstddef>
#include <string>

namespace ts {

// An order is six short lines: a file larger than this is no order, and is
// refused without being read whole.
inline constexpr std::size_t kOrderSizeLimit = 1 << 20;

// The six lines of ordem.txt, as they stand in the file.
struct Order {
  std::string numPorta;
  std::string velocidadePorta;
  std::string qtdBitsPorta;
  std::string qtdBitsStop;
  std::string temParidade;
  std::string textoPorta;
};

enum class OrderStatus { Accepted, NotFound, Incorrect };

struct OrderReading {
  OrderStatus status = OrderStatus::NotFound;
  Order order;  // the lines read, also when Incorrect
};

// Parses the file's bytes: up to six lines (more are ignored), each ending at
// CR or CR LF. Lines 1 to 5 must be non-empty; blanks are a value.
OrderReading parseOrder(const std::string& content);

// Reads `<orderFolder>ordem.txt`. A path that is not an ordinary file, or a
// file that cannot be read, counts as not found; a file larger than
// kOrderSizeLimit is incorrect.
OrderReading readOrder(const std::string& orderFolder);

}  // namespace ts
