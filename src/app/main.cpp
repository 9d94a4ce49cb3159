// brimvale: the application.
#include <sys/stat.h>

#include <iostream>

#include "app/commands.h"

int main(int argc, char** argv) {
  // Everything the application creates under ~/.brimvale is private.
  umask(077);
  return brimvale::app::runBrimvale(argc, argv, std::cout, std::cerr);
}
