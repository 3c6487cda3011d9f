// nvsql: runs SQL through the Norvale ADBC driver from the command line.
#include <iostream>
#include <string>

#include "tools/nvsql/options.h"
#include "tools/nvsql/run.h"

int main(int argc, char** argv) {
  nvsql::Options options;
  std::string err;
  if (!nvsql::parse_options(argc, argv, &options, &err)) {
    std::cerr << "nvsql: " << err << "\n\n" << nvsql::usage();
    return 2;
  }
  if (options.help) {
    std::cout << nvsql::usage();
    return 0;
  }
  return nvsql::run(options, std::cerr);
}
