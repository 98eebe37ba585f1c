// The coloured status printer.
#include "common/status.h"

#include "console/con.h"

namespace {
constexpr std::int32_t DEFAULT_COLOUR = 7;
constexpr std::int32_t OK_COLOUR = 10;
constexpr std::int32_t FAILED_COLOUR = 12;
}  // namespace

void print_status(CStr text, std::int32_t newline, std::int32_t colour) {
  // An own copy: the text may be a temporary result that the calls below overwrite.
  StrVar own(text);
  if (str_equal(own.get(), u"+")) {
    con_set_color(OK_COLOUR, 0);
    con_print_line(u" Ok");
    return;
  }
  if (str_equal(own.get(), u"-")) {
    con_set_color(FAILED_COLOUR, 0);
    con_print_line(u" FAILED");
    return;
  }
  con_set_color(colour == 0 ? DEFAULT_COLOUR : colour, 0);
  if (newline)
    con_print_line(own.get());
  else
    con_print(own.get());
}

void print_status_line(CStr first, CStr second, std::int32_t colour) {
  StrBuild line(first);
  line << second;
  print_status(line.c_str(), 1, colour);
}
