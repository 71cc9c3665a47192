#pragma once

#include <string>

namespace ts {

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
// file that cannot be read, counts as not found.
OrderReading readOrder(const std::string& orderFolder);

}  // namespace ts
